// End to end, with the real server: start-up with a stored user name,
// password and automatic login ends logged in without any input, also when
// the server is down at first: the client keeps trying with the reconnect's
// pauses, says so with a countdown in the status bar, keeps its login dialog
// open, and logs in by itself as soon as the server is back.
#include "clientstack.h"
#include "configdir.h"
#include "logindlg.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "palaverapp.h"
#include "palaverdoc.h"
#include "rawclient.h"
#include "settingshome.h"
#include "usersettings.h"
#include "waits.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace std::chrono_literals;

class TestE2eAutoLogin : public QObject
{
    Q_OBJECT

private slots:
    void StartUpLogsIn();
};

void TestE2eAutoLogin::StartUpLogsIn()
{
    auto* app = qobject_cast<CPalaverApp*>(QCoreApplication::instance());
    QVERIFY(app);
    CRestartableServer server;
    server.Start(0);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    const uint16_t port = server.process->Port();
    QVERIFY(CRawClient(port).Register("anna", "secret1"));
    QCOMPARE(server.process->Stop(SIGTERM), 0);
    StoreRememberedLogin(QStringLiteral("anna"), QStringLiteral("secret1"));
    CConfigDir config;
    config.WriteConfig("127.0.0.1", port);
    CMessageBoxInterceptor boxes;

    // The login dialog runs modally from the event loop: what the user sees
    // meanwhile is looked at from a timer inside that loop, which brings the
    // server back once the client has tried again at least once.
    const QRegularExpression countdown(
        QStringLiteral("^Cannot reach the server. Trying again in (\\d) s\u2026$"));
    int shown = 0;
    bool ticked = false;
    bool dialogUsable = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        CPalaverDoc* doc = app->Document();
        CLoginDlg* login = RunningDialog<CLoginDlg>();
        if (!doc || !login || !login->isVisible() || doc->Reconnector().Attempts() < 1 ||
            server.process->IsRunning())
            return;
        const QRegularExpressionMatch match =
            countdown.match(app->MainFrame()->statusBar()->currentMessage());
        if (!match.hasMatch())
            return;
        // The countdown moves on by the second.
        const int seconds = match.captured(1).toInt();
        ticked = shown > 0 && seconds < shown;
        shown = seconds;
        if (!ticked)
            return;
        auto* name = login->findChild<QLineEdit*>(QStringLiteral("userName"));
        dialogUsable = name->isEnabled() && name->text() == QStringLiteral("anna");
        server.Start(port);
    });
    watch.start(20);

    CSessionTiming timing;
    timing.reconnect = CReconnectTiming{1500ms, 1500ms, 0.0};
    QVERIFY(app->InitInstance(timing));
    QVERIFY(WaitUntil([&] { return app->Document()->IsLoggedIn(); }, 30s));
    watch.stop();
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    QVERIFY(dialogUsable);
    QVERIFY(ticked);
    QCOMPARE(app->Document()->UserName(), std::string("anna"));
    QCOMPARE(app->MainFrame()->windowTitle(), QStringLiteral("Murmurly - anna"));
    QVERIFY(!app->Document()->IsReconnecting());
    QVERIFY(!RunningDialog<CLoginDlg>());
    QCOMPARE(boxes.Count(), 0);

    // Closing the main window logs off and ends the program.
    QTimer::singleShot(0, app->MainFrame(), &QWidget::close);
    QTimer::singleShot(10000, app, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!app->Document()->IsLoggedIn());
    QVERIFY(!app->Document()->IsConnected());
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    CPalaverApp app(argc, argv);
    TestE2eAutoLogin test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_e2e_autologin.moc"
