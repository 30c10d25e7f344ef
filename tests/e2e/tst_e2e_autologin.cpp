// End to end, with the real server: start-up with a stored user name,
// password and automatic login ends logged in without any input.
#include "configdir.h"
#include "logindlg.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "palaverapp.h"
#include "palaverdoc.h"
#include "rawclient.h"
#include "serverconnection.h"
#include "serverprocess.h"
#include "settingshome.h"
#include "usersettings.h"
#include "waits.h"

#include <QSettings>
#include <QTest>
#include <QTimer>

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
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    {
        CRawClient setup(server.Port());
        QVERIFY(setup.Register("anna", "secret1"));
    }
    StoreRememberedLogin(QStringLiteral("anna"), QStringLiteral("secret1"));
    CConfigDir config;
    config.WriteConfig("127.0.0.1", server.Port());
    CMessageBoxInterceptor boxes;

    // Start-up connects in the background; the automatic login follows.
    QVERIFY(app->InitInstance());
    QVERIFY(app->Document());
    QVERIFY(WaitUntil([&] { return app->Document()->IsLoggedIn(); }, std::chrono::seconds(15)));
    QCOMPARE(app->Document()->UserName(), std::string("anna"));
    QCOMPARE(app->MainFrame()->windowTitle(), QStringLiteral("Murmurly - anna"));
    QVERIFY(app->MainFrame()->isVisible());
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
