#pragma once

#include <QtQml/qqmlregistration.h>

#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>

namespace brimo::ui {

// The addresses the account side opens on the desktop: the support mail and download pages.
// Opening goes through the desktop's handler; a failure to open is ignored.
class AccountLinksAdapter : public QObject {
    Q_OBJECT
    QML_NAMED_ELEMENT(AccountLinks)
    QML_UNCREATABLE("The application hands the desktop links to the views")

    Q_PROPERTY(QString supportAddress READ supportAddress CONSTANT)

  public:
    // Opens a URL on the desktop; QDesktopServices unless given.
    using Opener = std::function<void(const QUrl& url)>;

    // The support address built in at configuration time.
    static QString defaultSupportAddress();

    explicit AccountLinksAdapter(QObject* parent = nullptr, Opener opener = {},
                                 QString supportAddress = defaultSupportAddress());

    [[nodiscard]] QString supportAddress() const { return supportAddress_; }

    Q_INVOKABLE void openSupportMail();
    // Only absolute http(s) addresses are handed on; anything else is ignored.
    Q_INVOKABLE void openUrl(const QString& url);

  private:
    Opener opener_;
    QString supportAddress_;
};

}  // namespace brimo::ui
