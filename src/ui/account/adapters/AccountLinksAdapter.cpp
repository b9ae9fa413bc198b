#include "ui/account/adapters/AccountLinksAdapter.h"

#include <QDesktopServices>
#include <utility>

#ifndef BRIMO_SUPPORT_EMAIL
#define BRIMO_SUPPORT_EMAIL "support@brimolavetrix.com"
#endif

namespace brimo::ui {

QString AccountLinksAdapter::defaultSupportAddress() {
    return QStringLiteral(BRIMO_SUPPORT_EMAIL);
}

AccountLinksAdapter::AccountLinksAdapter(QObject* parent, Opener opener, QString supportAddress)
    : QObject(parent), opener_(std::move(opener)), supportAddress_(std::move(supportAddress)) {
    if (!opener_) {
        opener_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    }
}

void AccountLinksAdapter::openSupportMail() {
    QUrl url;
    url.setScheme(QStringLiteral("mailto"));
    url.setPath(supportAddress_);
    opener_(url);
}

void AccountLinksAdapter::openUrl(const QString& url) {
    // The address comes from the web service: only a web page may reach the desktop's
    // handler, never a file or another program's scheme.
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        return;
    }
    opener_(parsed);
}

}  // namespace brimo::ui
