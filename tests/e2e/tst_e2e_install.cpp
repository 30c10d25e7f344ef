// The installed programs: `cmake --install` into a scratch root (DESTDIR,
// under the tree's own prefix, as a package is staged) puts every file where a Linux desktop and systemd look for it, the installed binaries
// answer --version and --help, and the installed client, started from a
// folder without config.txt, finds the user's config.txt and logs in to the
// real server with the remembered settings.
#include "rawclient.h"
#include "serverprocess.h"
#include "waits.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;

class TestE2eInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void InstallsEveryFile();
    void InfoOptions_data();
    void InfoOptions();
    void InstalledClientLogsIn();

private:
    // Where a file installed under the prefix, or under the options folder
    // (outside the prefix when the tree is configured for packages), lies.
    QString Installed(const QString& file) const;
    QString InstalledOption(const QString& file) const;

    QTemporaryDir m_root;
};

namespace {

// Runs a program to its end and returns its standard output.
QString Run(const QString& program, const QStringList& arguments, int* exitCode = nullptr,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return QStringLiteral("(did not finish) ") + QString::fromUtf8(process.readAllStandardError());
    if (exitCode)
        *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

} // namespace

QString TestE2eInstall::Installed(const QString& file) const
{
    return m_root.path() + QStringLiteral(MURMURLY_INSTALL_PREFIX "/") + file;
}

QString TestE2eInstall::InstalledOption(const QString& file) const
{
    return m_root.path() + QStringLiteral(MURMURLY_INSTALL_SYSCONFDIR "/") + file;
}

void TestE2eInstall::initTestCase()
{
    QVERIFY(m_root.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DESTDIR"), m_root.path());
    int status = -1;
    const QString output = Run(QStringLiteral(MURMURLY_CMAKE),
                               {QStringLiteral("--install"), QStringLiteral(MURMURLY_BINARY_DIR)}, &status, env);
    QVERIFY2(status == 0, qPrintable(output));
}

void TestE2eInstall::InstallsEveryFile()
{
    const QStringList files = {
        QStringLiteral("bin/murmurly"),
        QStringLiteral("bin/murmurly-server"),
        QStringLiteral("share/applications/org.brambleworks.Murmurly.desktop"),
        QStringLiteral("share/metainfo/org.brambleworks.Murmurly.metainfo.xml"),
        QStringLiteral("share/icons/hicolor/16x16/apps/murmurly.png"),
        QStringLiteral("share/icons/hicolor/32x32/apps/murmurly.png"),
        QStringLiteral("share/icons/hicolor/64x64/apps/murmurly.png"),
        QStringLiteral("share/icons/hicolor/128x128/apps/murmurly.png"),
        QStringLiteral("share/icons/hicolor/scalable/apps/murmurly.svg"),
        QStringLiteral("share/man/man1/murmurly.1.gz"),
        QStringLiteral("share/man/man8/murmurly-server.8.gz"),
        QStringLiteral("lib/systemd/system/murmurly-server.service"),
        QStringLiteral("share/doc/murmurly/config.txt"),
    };
    for (const QString& file : files)
        QVERIFY2(QFile::exists(Installed(file)), qPrintable(file));
    QVERIFY(QFile::exists(InstalledOption(QStringLiteral("default/murmurly-server"))));

    QFile unit(Installed(QStringLiteral("lib/systemd/system/murmurly-server.service")));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    for (const char* line :
         {"StateDirectory=murmurly", "ProtectSystem=strict", "NoNewPrivileges=yes", "PrivateTmp=yes",
          "--db /var/lib/murmurly/murmurly.db $MURMURLY_SERVER_OPTS", "/default/murmurly-server\n"})
        QVERIFY2(text.contains(line), line);
}

void TestE2eInstall::InfoOptions_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("expected");
    const QString client = QStringLiteral("murmurly");
    const QString server = QStringLiteral("murmurly-server");
    const QString version = QStringLiteral("--version");
    const QString help = QStringLiteral("--help");
    QTest::newRow("client version") << client << version
                                    << QStringList{client + QStringLiteral(" " MURMURLY_VERSION "\n")};
    QTest::newRow("server version") << server << version
                                    << QStringList{server + QStringLiteral(" " MURMURLY_VERSION "\n")};
    QTest::newRow("client help") << client << help
                                 << QStringList{QStringLiteral("./config.txt"),
                                                QStringLiteral("$XDG_CONFIG_HOME/murmurly/config.txt"),
                                                QStringLiteral("/etc/murmurly/config.txt"),
                                                QStringLiteral("Brambleworks/Murmurly.conf")};
    QTest::newRow("server help") << server << help
                                 << QStringList{QStringLiteral("--version"), QStringLiteral("--db PATH")};
}

void TestE2eInstall::InfoOptions()
{
    QFETCH(QString, program);
    QFETCH(QString, option);
    QFETCH(QStringList, expected);
    int status = -1;
    // No display: these options answer before any window could open.
    const QString output = Run(Installed(QStringLiteral("bin/") + program), {option}, &status);
    QCOMPARE(status, 0);
    for (const QString& text : expected)
        QVERIFY2(output.contains(text), qPrintable(output));
}

void TestE2eInstall::InstalledClientLogsIn()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    {
        CRawClient setup(server.Port());
        QVERIFY(setup.Register("anna", "secret1"));
    }

    QTemporaryDir home;
    QTemporaryDir emptyFolder;
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("murmurly")));
    QFile config(home.filePath(QStringLiteral("murmurly/config.txt")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("IP_ADDRESS=127.0.0.1\nPORT_NUM=" + QByteArray::number(server.Port()) + "\n");
    config.close();
    {
        QSettings settings(home.filePath(QStringLiteral("Brambleworks/Murmurly.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Settings/Login/RememberLogin"), 1);
        settings.setValue(QStringLiteral("Settings/Login/AutoLogin"), 1);
        settings.setValue(QStringLiteral("Settings/Login/UserName"), QStringLiteral("anna"));
        settings.setValue(QStringLiteral("Settings/Login/Password"), QStringLiteral("secret1"));
    }

    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    client.setProcessEnvironment(env);
    client.setWorkingDirectory(emptyFolder.path());
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.start(Installed(QStringLiteral("bin/murmurly")), {});
    QVERIFY(client.waitForStarted(10000));

    // The server names each login; the client logs in by itself once it has
    // found the user's config.txt.
    QVERIFY2(
        WaitUntil([&] { return server.Log().find("login anna from 127.0.0.1") != std::string::npos; }, 60s),
        server.Log().c_str());

    client.terminate();
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    QVERIFY2(WaitUntil([&] { return server.Log().find("logoff anna") != std::string::npos; }, 30s),
             server.Log().c_str());
}

QTEST_GUILESS_MAIN(TestE2eInstall)
#include "tst_e2e_install.moc"
