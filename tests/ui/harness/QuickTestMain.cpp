#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>

#include "ui/harness/ViewTestSystem.h"
#ifdef BRIMO_ACCOUNT_VIEW_TESTS
#include "ui/account/harness/AccountTestSystem.h"
#endif

Q_IMPORT_QML_PLUGIN(BrimolavetrixPlugin)

namespace {

// Every test file gets the application's QML module and style and the simulated audio system
// (TestSystem); the account views also the account side against the reference web service
// (AccountSystem).
class Setup : public QObject {
    Q_OBJECT

  public Q_SLOTS:
    static void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Basic")); }
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        engine->rootContext()->setContextProperty(QStringLiteral("TestSystem"), &system_);
#ifdef BRIMO_ACCOUNT_VIEW_TESTS
        engine->rootContext()->setContextProperty(QStringLiteral("AccountSystem"), &account_);
#endif
    }
    void cleanupTestCase() {
        system_.stop();
    }

  private:
    brimo::testing::ViewTestSystem system_;
#ifdef BRIMO_ACCOUNT_VIEW_TESTS
    brimo::testing::AccountTestSystem account_;
#endif
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(ui_views, Setup)

#include "QuickTestMain.moc"
