#include "keyring.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>

CKeyring::CKeyring()
{
    if (!m_home.isValid() || !qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        return;
    // The daemon keeps its keyrings under XDG_DATA_HOME and its sockets
    // under XDG_RUNTIME_DIR: both in the scratch folder, never the user's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString runtime = m_home.path() + QStringLiteral("/run");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment.insert(QStringLiteral("HOME"), m_home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    // --unlock makes the login keyring with the password read from standard
    // input and leaves the daemon running; --start then has it serve the
    // Secret Service on the session bus (found through XDG_RUNTIME_DIR, so
    // that the bus never starts a daemon of its own, which would prompt).
    const auto run = [&](const QString& step, const QByteArray& input) {
        QProcess daemon;
        daemon.setProcessEnvironment(environment);
        daemon.start(QStringLiteral("gnome-keyring-daemon"), {step, QStringLiteral("--components=secrets")});
        if (!daemon.waitForStarted(5000))
            return false;
        daemon.write(input);
        daemon.closeWriteChannel();
        return daemon.waitForFinished(10000) && daemon.exitCode() == 0;
    };
    m_bRunning = run(QStringLiteral("--unlock"), "keyring-test") && run(QStringLiteral("--start"), {});
}
