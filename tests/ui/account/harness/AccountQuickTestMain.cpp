#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>

#include "ui/account/harness/AccountTestSystem.h"
#include "ui/harness/ViewTestSystem.h"

Q_IMPORT_QML_PLUGIN(BrimolavetrixPlugin)

namespace {

// Every test file gets the application's QML module and style, the simulated audio system
// (TestSystem) and the account side against the reference web service (AccountSystem).
class Setup : public QObject {
    Q_OBJECT

  public Q_SLOTS:
    static void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Basic")); }
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        engine->rootContext()->setContextProperty(QStringLiteral("TestSystem"), &system_);
        engine->rootContext()->setContextProperty(QStringLiteral("AccountSystem"), &account_);
    }
    void cleanupTestCase() { system_.stop(); }

  private:
    brimo::testing::ViewTestSystem system_;
    brimo::testing::AccountTestSystem account_;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(ui_account_views, Setup)

#include "AccountQuickTestMain.moc"
