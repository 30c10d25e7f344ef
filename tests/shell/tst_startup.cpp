// Start-up with the server unreachable: it still completes, shows the main
// window with the friends list, and says "Not connected to Server" once.
#include "configdir.h"
#include "fakeserver.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "palaverapp.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "serverconnection.h"
#include "settingshome.h"
#include "splashwnd.h"
#include "waits.h"

#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace std::chrono_literals;

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void UnreachableServer();
};

void TestStartup::UnreachableServer()
{
    auto* app = qobject_cast<CPalaverApp*>(QCoreApplication::instance());
    QVERIFY(app);
    CConfigDir config;
    {
        CFakeServer closed;
        config.WriteConfig("127.0.0.1", closed.Port());
    }
    CMessageBoxInterceptor boxes;
    CSessionTiming timing;
    timing.connection.sendPause = timing.connection.receivePause = 0ms;
    timing.logoffPause = 0ms;
    QVERIFY(app->InitInstance(timing));

    // The connect fails in the background; Change User then tells so.
    QVERIFY(boxes.WaitForCount(1));
    QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Not connected to Server")});
    CMainFrame* frame = app->MainFrame();
    QVERIFY(frame && frame->isVisible());
    QCOMPARE(frame->size(), QSize(300, 600));
    QCOMPARE(frame->windowTitle(), QStringLiteral("Murmurly - Not logged in"));
    QVERIFY(app->Document());
    QCOMPARE(app->Document()->View(), static_cast<QObject*>(frame->View()));
    QCOMPARE(frame->View()->TreeControl()->topLevelItemCount(), 1);
    QVERIFY(!app->Document()->IsConnected());
    // The splash is up while start-up runs and goes by itself.
    QVERIFY(CSplashWindow::IsSplashEnabled());
    QVERIFY(WaitUntil([] { return CSplashWindow::Current() == nullptr; }, 3s));

    // Closing the main window ends the program.
    bool quit = false;
    QObject::connect(app, &QCoreApplication::aboutToQuit, [&] { quit = true; });
    QTimer::singleShot(0, frame, &QWidget::close);
    QTimer::singleShot(5000, app, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(quit);
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    CPalaverApp app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_startup.moc"
