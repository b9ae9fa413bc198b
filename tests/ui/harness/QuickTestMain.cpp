#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>

#include "ui/harness/ViewTestSystem.h"

Q_IMPORT_QML_PLUGIN(BrimolavetrixPlugin)

namespace {

// Gives every test file the application's QML module, its style, and the test system.
class Setup : public QObject {
    Q_OBJECT

  public Q_SLOTS:
    static void applicationAvailable() { QQuickStyle::setStyle(QStringLiteral("Basic")); }
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        engine->rootContext()->setContextProperty(QStringLiteral("TestSystem"), &system_);
    }
    void cleanupTestCase() { system_.stop(); }

  private:
    brimo::testing::ViewTestSystem system_;
};

}  // namespace

QUICK_TEST_MAIN_WITH_SETUP(ui_views, Setup)

#include "QuickTestMain.moc"
