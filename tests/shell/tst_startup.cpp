// Start-up with the server unreachable: it still completes, shows the main
// window with the friends list and the login dialog, says in the status bar
// that it tries again, and shows no box.
#include "configdir.h"
#include "fakeserver.h"
#include "logindlg.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "palaverapp.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "serverconnection.h"
#include "settingshome.h"
#include "splashwnd.h"
#include "waits.h"

#include <QStatusBar>
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

    // The connect fails in the background; the session tries again after a
    // pause while the login dialog waits, usable. What is seen meanwhile is
    // taken from inside the dialog's loop, which closing the main window ends.
    QString status;
    bool loginShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        CLoginDlg* login = RunningDialog<CLoginDlg>();
        if (!login || !login->isVisible())
            return;
        loginShown = true;
        status = app->MainFrame()->statusBar()->currentMessage();
        watch.stop();
        app->MainFrame()->close();
    });
    watch.start(10);
    QVERIFY(WaitUntil([&] { return loginShown; }));
    QVERIFY2(status.startsWith(QStringLiteral("Cannot reach the server. Trying again in")),
             qPrintable(status));
    QCOMPARE(boxes.Count(), 0);
    CMainFrame* frame = app->MainFrame();
    QVERIFY(frame);
    QCOMPARE(frame->size(), QSize(300, 600));
    QCOMPARE(frame->windowTitle(), QStringLiteral("Murmurly - Not logged in"));
    QVERIFY(app->Document());
    QCOMPARE(app->Document()->View(), static_cast<QObject*>(frame->View()));
    QCOMPARE(frame->View()->TreeControl()->topLevelItemCount(), 1);
    QVERIFY(!app->Document()->IsConnected());
    // The splash is up while start-up runs and goes by itself.
    QVERIFY(CSplashWindow::IsSplashEnabled());
    QVERIFY(WaitUntil([] { return CSplashWindow::Current() == nullptr; }, 3s));

    // Closing the main window ended the program.
    QVERIFY(app->HasEnded());
    QVERIFY(!RunningDialog<CLoginDlg>());
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    CPalaverApp app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_startup.moc"
