// Started for embedding or automation the client shows nothing, starts no
// session and waits hidden until it is told to end.
#include "mainframe.h"
#include "palaverapp.h"
#include "settingshome.h"
#include "splashwnd.h"

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
};

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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.Path());
    client.setProcessEnvironment(env);
    client.setWorkingDirectory(home.Path());
    client.start(QStringLiteral(MURMURLY_CLIENT_EXE), {QStringLiteral("-Embedding")});
    QVERIFY(client.waitForStarted(10000));
    // It keeps waiting by itself.
    QVERIFY(!client.waitForFinished(1500));
    ::kill(static_cast<pid_t>(client.processId()), SIGTERM);
    QVERIFY(client.waitForFinished(10000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
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
