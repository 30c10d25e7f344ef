// Started for embedding or automation the client shows nothing, starts no
// session and waits hidden until it is told to end. Started normally in
// clear text, it loads nothing for TLS, notices or the keyring.
#include "commands.h"
#include "configdir.h"
#include "fakeserver.h"
#include "mainframe.h"
#include "palaverapp.h"
#include "settingshome.h"
#include "splashwnd.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

class TestEmbedding : public QObject
{
    Q_OBJECT

private slots:
    void SwitchesRecognised();
    void WaitsHidden();
    void ProcessEndsOnTerm();
    void ProcessEndsOnTermDuringLogin();
    void StartsLight();
};

namespace {

// Starts the real client in `dir` with its settings there too.
void StartClient(QProcess& client, const QString& dir, const QStringList& arguments,
                 QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
{
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir);
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir);
    client.setProcessEnvironment(env);
    client.setWorkingDirectory(dir);
    client.start(QStringLiteral(MURMURLY_CLIENT_EXE), arguments);
}

} // namespace

void TestEmbedding::SwitchesRecognised()
{
    const QString exe = QStringLiteral("murmurly");
    QVERIFY(CPalaverApp::IsEmbedding({exe, QStringLiteral("-Embedding")}));
    QVERIFY(CPalaverApp::IsEmbedding({exe, QStringLiteral("/Automation")}));
    QVERIFY(CPalaverApp::IsEmbedding({exe, QStringLiteral("-automation")}));
    QVERIFY(!CPalaverApp::IsEmbedding({exe}));
    QVERIFY(!CPalaverApp::IsEmbedding({exe, QStringLiteral("Embedding")}));
    QVERIFY(!CPalaverApp::IsEmbedding({QStringLiteral("-Embedding")}));
}

void TestEmbedding::WaitsHidden()
{
    auto* app = qobject_cast<CPalaverApp*>(QCoreApplication::instance());
    QVERIFY(app);
    QVERIFY(app->InitInstance());
    QVERIFY(!CSplashWindow::IsSplashEnabled());
    QVERIFY(!CSplashWindow::Current());
    QVERIFY(app->MainFrame());
    QVERIFY(!app->MainFrame()->isVisible());
    QVERIFY(!app->Document());
    QVERIFY(!app->MainFrame()->View());
    for (QWidget* window : QApplication::topLevelWidgets())
        QVERIFY2(!window->isVisible(), qPrintable(window->metaObject()->className()));
}

void TestEmbedding::ProcessEndsOnTerm()
{
    CSettingsHome home;
    QProcess client;
    StartClient(client, home.Path(), {QStringLiteral("-Embedding")});
    QVERIFY(client.waitForStarted(10000));
    // It keeps waiting by itself.
    QVERIFY(!client.waitForFinished(1500));
    ::kill(static_cast<pid_t>(client.processId()), SIGTERM);
    QVERIFY(client.waitForFinished(10000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
}

void TestEmbedding::ProcessEndsOnTermDuringLogin()
{
    // A normal start that waits in the login dialog, before the main loop.
    CFakeServer server;
    CConfigDir dir;
    QVERIFY(dir.WriteConfig("127.0.0.1", server.Port()));
    QProcess client;
    StartClient(client, dir.Path(), {});
    QVERIFY(client.waitForStarted(10000));
    QVERIFY(server.WaitForClient(std::chrono::seconds(10)));
    QVERIFY(!client.waitForFinished(1000));
    ::kill(static_cast<pid_t>(client.processId()), SIGTERM);
    QVERIFY(client.waitForFinished(10000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
}

void TestEmbedding::StartsLight()
{
    CSettingsHome home;
    StoreRememberedLogin(QStringLiteral("light"), QStringLiteral("secret1"));
    CFakeServer server;
    QFile config(home.Path() + QStringLiteral("/config.txt"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(CConfigDir::ConfigText("127.0.0.1", server.Port()));
    config.close();
    // No session bus: the remembered password is read from the settings file.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.Path());
    QProcess client;
    StartClient(client, home.Path(), {}, env);
    QVERIFY(client.waitForStarted(10000));
    // The automatic login is sent from the login dialog, after the main
    // window and the alerts are up: start-up is over by then.
    QVERIFY(server.WaitForClient(std::chrono::seconds(10)));
    QVERIFY(server.Expect(Cmd::Login, std::chrono::seconds(10)));

    const QString proc = QStringLiteral("/proc/%1/").arg(client.processId());
    QFile maps(proc + QStringLiteral("maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    for (const char* library : {"libssl.so", "libcrypto.so", "/tls/libq"})
        QVERIFY2(!mapped.contains(library), library);
    // The session bus has a thread of its own once anything opens it.
    QStringList threads;
    for (const QString& task :
         QDir(proc + QStringLiteral("task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(proc + QStringLiteral("task/") + task + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly))
            threads << QString::fromUtf8(comm.readAll().trimmed());
    }
    QVERIFY2(!threads.contains(QStringLiteral("QDBusConnection")), qPrintable(threads.join(u',')));
    // Threads of its own carry the program's name: the history's writer
    // would be one, and it waits for the login.
    QCOMPARE(threads.count(QStringLiteral("murmurly")), 1);

    ::kill(static_cast<pid_t>(client.processId()), SIGTERM);
    QVERIFY(client.waitForFinished(10000));
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    // The application sees the switch; QtTest gets no arguments of its own.
    int appArgc = 2;
    char name[] = "murmurly";
    char embedding[] = "-Embedding";
    char* appArgv[] = {name, embedding, nullptr};
    CPalaverApp app(appArgc, appArgv);
    TestEmbedding test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_embedding.moc"
