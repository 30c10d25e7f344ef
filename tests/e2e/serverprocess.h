#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>

// The real murmurly-server, started as its own process on a loopback port
// that the system picks, with a database in a scratch folder and fast
// password hashing; `extraArgs` follow (a certificate and key for TLS, say).
// Killed with the object.
class CServerProcess
{
public:
    explicit CServerProcess(const QStringList& extraArgs = {});
    ~CServerProcess();

    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    bool IsRunning() const { return m_nPort != 0 && m_process.state() == QProcess::Running; }
    uint16_t Port() const { return m_nPort; }
    // What the server wrote on standard error so far.
    QString Log();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
    uint16_t m_nPort = 0;
};
