#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <QUrl>

#include "ui/resources/SymbolTable.h"

namespace brimo::ui {

// The application's resource files for the views, by name and extension, and the icon each
// symbol name maps to. An empty URL means the file is not there; the views then show their
// fallback (the title text, the still eye, a glyph, an empty player).
class ResourceLocator : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(Resources)
    QML_SINGLETON

    // The folder looked in; the application's own resources unless set (tests point it at a
    // folder of their own).
    Q_PROPERTY(QString root READ root WRITE setRoot NOTIFY rootChanged)

  public:
    explicit ResourceLocator(QObject* parent = nullptr);

    [[nodiscard]] QString root() const { return root_; }
    void setRoot(const QString& root);

    Q_INVOKABLE QUrl url(const QString& name, const QString& extension) const;
    Q_INVOKABLE QUrl symbolUrl(const QString& symbolName) const;

  Q_SIGNALS:
    void rootChanged();

  private:
    QString root_;
    SymbolTable symbols_;
};

}  // namespace brimo::ui
