#include "ui/resources/ResourceLocator.h"

#include "platform/resources/ResourceBundle.h"

namespace brimo::ui {

ResourceLocator::ResourceLocator(QObject* parent)
    : QObject(parent),
      root_(QString::fromStdString(resources::ResourceBundle::main().root().string())),
      symbols_(root_.toStdString()) {}

void ResourceLocator::setRoot(const QString& root) {
    if (root != root_) {
        root_ = root;
        symbols_ = SymbolTable(root_.toStdString());
        Q_EMIT rootChanged();
    }
}

QUrl ResourceLocator::url(const QString& name, const QString& extension) const {
    const resources::ResourceBundle bundle(root_.toStdString());
    const auto path = bundle.pathForResource(name.toStdString(), extension.toStdString());
    return path ? QUrl::fromLocalFile(QString::fromStdString(path->string())) : QUrl();
}

QUrl ResourceLocator::symbolUrl(const QString& symbolName) const {
    const auto path = symbols_.iconFor(symbolName.toStdString());
    return path ? QUrl::fromLocalFile(QString::fromStdString(path->string())) : QUrl();
}

}  // namespace brimo::ui
