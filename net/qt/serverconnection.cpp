#include "serverconnection.h"

#include "clientsocket.h"
#include "config.h"
#include "messagebox.h"
#include "wire.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <utility>
#include <vector>

int g_bConnected = 0;

namespace {

// Bytes taken off the socket per read.
constexpr std::size_t kReadChunk = 64 * 1024;

void Pause(std::chrono::milliseconds pause)
{
    if (pause.count() > 0)
        QThread::msleep(static_cast<unsigned long>(pause.count()));
}

} // namespace

CServerConnection::CServerConnection(const CConnectionTiming& timing, QObject* parent)
    : QObject(parent), m_timing(timing)
{
}

CServerConnection::~CServerConnection() = default;

QStringList ConfigSearchPaths()
{
    // XDG_CONFIG_HOME counts only when it is an absolute path; otherwise the
    // user's configuration lives in ~/.config.
    QString userConfig = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (userConfig.isEmpty() || QDir::isRelativePath(userConfig))
        userConfig = QDir::homePath() + QStringLiteral("/.config");
    return {QDir::current().absoluteFilePath(QStringLiteral("config.txt")),
            userConfig + QStringLiteral("/murmurly/config.txt"), QStringLiteral("/etc/murmurly/config.txt")};
}

bool CServerConnection::ReadConfig()
{
    std::vector<std::string> paths;
    for (const QString& path : ConfigSearchPaths())
        paths.push_back(QFile::encodeName(path).toStdString());
    CServerConfig config{m_strServerAddress, m_nPort};
    if (ReadFirstConfigFile(paths, config) < 0)
        return false;
    m_strServerAddress = std::move(config.address);
    m_nPort = config.port;
    return true;
}

bool CServerConnection::Connect()
{
    if (!ReadConfig()) {
        ShowMessageBox(QStringLiteral("Configuration file not found or corrupt. Please get the correct "
                                      "configuration file Config.txt\nLooked for it in: ") +
                           ConfigSearchPaths().join(QStringLiteral(", ")),
                       MessageButtons::Ok, MessageIcon::Stop);
        return false;
    }
    if (!m_pSocket || m_strServerAddress.empty() || m_nPort <= 0 || m_nPort > 65535)
        return false;
    if (!m_pSocket->Connect(QString::fromStdString(m_strServerAddress), static_cast<quint16>(m_nPort),
                            m_timing.connectTimeout))
        return false;

    m_bConnected = 1;
    ResetStream();
    // A fresh receive record. The object itself is kept, so that a handler
    // further up the stack never holds a dangling reference to it.
    if (m_pMsg)
        *m_pMsg = CNetMessage();
    else
        m_pMsg = std::make_unique<CNetMessage>();
    // Bytes may have come with the connection itself.
    if (m_pSocket->BytesAvailable() > 0)
        OnSocketReadable();
    return true;
}

bool CServerConnection::Send(const CNetMessage& msg)
{
    if (!m_pSocket)
        return false;
    if (!m_pSocket->Write(EncodeRecord(msg), m_timing.writeTimeout))
        return false;
    Pause(m_timing.sendPause);
    return true;
}

bool CServerConnection::Receive()
{
    if (!m_pStream || !m_pMsg)
        return false;
    PullBytes();
    CNetMessage record;
    switch (m_pStream->Next(record)) {
    case DecodeStatus::Complete:
        break;
    case DecodeStatus::Incomplete:
        return false;
    case DecodeStatus::Malformed:
    case DecodeStatus::TooLarge:
        // No framing means no way to find the next record: the connection is
        // finished. DispatchNext reports it.
        m_bProtocolError = true;
        if (m_pSocket)
            m_pSocket->Close();
        return false;
    }
    // The receive record takes every field on the wire, with its names
    // emptied first; the font's height and face-name array are not on the
    // wire and keep what they held.
    record.font.lfHeight = m_pMsg->font.lfHeight;
    std::copy(std::begin(m_pMsg->font.lfFaceName), std::end(m_pMsg->font.lfFaceName),
              std::begin(record.font.lfFaceName));
    *m_pMsg = std::move(record);
    Pause(m_timing.receivePause);
    return true;
}

void CServerConnection::SetSocket(std::unique_ptr<CClientSocket> socket)
{
    m_pSocket = std::move(socket);
    m_pStream.reset();
}

void CServerConnection::DeleteSocket()
{
    // Whatever was received on this socket and not yet handled goes with it.
    m_pSocket.reset();
    m_pStream.reset();
}

std::size_t CServerConnection::PendingBytes() const
{
    return m_pStream ? m_pStream->Buffered() : 0;
}

void CServerConnection::OnSocketReadable()
{
    // Called from the socket's notification, which may come from inside a
    // blocking wait: only buffer here, and decode from the event loop.
    PullBytes();
    ScheduleDispatch();
}

void CServerConnection::OnSocketClosed()
{
    m_bStreamEnded = true;
    PullBytes();
    ScheduleDispatch();
}

void CServerConnection::PullBytes()
{
    if (!m_pSocket || !m_pStream || m_pStream->Broken())
        return;
    // No record exceeds the limit, so neither does the unparsed input: what
    // is beyond it stays in the socket until records are taken off the front.
    const std::size_t limit = kClientLimits.maxRecord;
    while (m_pStream->Buffered() < limit) {
        const std::string bytes = m_pSocket->Read(std::min(kReadChunk, limit - m_pStream->Buffered()));
        if (bytes.empty())
            break;
        m_pStream->Append(bytes);
    }
}

void CServerConnection::ScheduleDispatch()
{
    if (m_bDispatchScheduled)
        return;
    m_bDispatchScheduled = true;
    QMetaObject::invokeMethod(this, &CServerConnection::DispatchNext, Qt::QueuedConnection);
}

void CServerConnection::DispatchNext()
{
    m_bDispatchScheduled = false;
    if (!m_pSocket || !m_pStream || m_bLostReported)
        return;
    if (Receive()) {
        // Before handling: a handler that opens a box or a modal dialog must
        // go on receiving inside its event loop.
        ScheduleDispatch();
        HandleMessage();
        return;
    }
    if (m_bProtocolError || (m_bStreamEnded && m_pSocket->BytesAvailable() == 0))
        ReportLost();
}

void CServerConnection::ReportLost()
{
    if (m_bLostReported)
        return;
    m_bLostReported = true;
    if (m_pSocket)
        m_pSocket->Close();
    if (m_bConnected)
        OnConnectionLost();
}

void CServerConnection::ResetStream()
{
    m_pStream = std::make_unique<CRecordStream>(kClientLimits);
    m_bStreamEnded = false;
    m_bProtocolError = false;
    m_bLostReported = false;
}
