#include "serverprocess.h"

#include "waits.h"

#include <QRegularExpression>

using namespace std::chrono_literals;

CServerProcess::CServerProcess(const QStringList& extraArgs)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral(MURMURLY_SERVER_EXE),
                    QStringList{QStringLiteral("--address"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QStringLiteral("0"), QStringLiteral("--db"),
                                m_dir.filePath(QStringLiteral("e2e.db")), QStringLiteral("--fast-hash")} +
                        extraArgs);
    if (!m_process.waitForStarted(10000))
        return;
    // The server names its port in the line "listening on 127.0.0.1:PORT".
    const QRegularExpression listening(QStringLiteral("listening on [^\\n]*:([0-9]+)\\n"));
    WaitUntil(
        [&] {
            Log();
            const auto match = listening.match(QString::fromUtf8(m_log));
            if (match.hasMatch())
                m_nPort = static_cast<uint16_t>(match.captured(1).toUInt());
            return m_nPort != 0 || m_process.state() != QProcess::Running;
        },
        10s);
}

CServerProcess::~CServerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString CServerProcess::Log()
{
    m_log += m_process.readAllStandardError();
    return QString::fromUtf8(m_log);
}
