#include "serverconnection.h"

#include "clientsocket.h"
#include "config.h"
#include "wire.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QSslCertificate>
#include <QSslError>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Bytes taken off the socket per read.
constexpr std::size_t kReadChunk = 64 * 1024;

// A TLS record header: content type, version 3.x, length (two bytes).
constexpr std::size_t kTlsHeader = 5;

// A TLS server that reads a clear-text record as its client's hello answers
// with a short alert record and closes. No record of ours begins so: its
// first byte would be the length of a 21-byte sender whose first character
// is a control character.
bool IsTlsAlert(const std::string& bytes)
{
    return bytes.size() >= kTlsHeader && bytes[0] == '\x15' && bytes[1] == '\x03' &&
           static_cast<unsigned char>(bytes[2]) <= 4 && bytes[3] == '\0' && bytes[4] == '\x02';
}

} // namespace

CServerConnection::CServerConnection(const CConnectionTiming& timing, QObject* parent)
    : QObject(parent), m_timing(timing)
{
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        TellIfNotTls();
        if (m_pSocket)
            m_pSocket->Close();
        EndConnect(false);
    });
    m_dispatchTimer.setSingleShot(true);
    connect(&m_dispatchTimer, &QTimer::timeout, this, &CServerConnection::DispatchNext);
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
    CServerConfig config;
    config.address = m_strServerAddress;
    config.port = m_nPort;
    m_strConfigProblem.clear();
    const int found = ReadFirstConfigFile(paths, config);
    if (found < 0)
        return false;
    if (const std::string problem = ConfigProblem(config); !problem.empty()) {
        m_strConfigProblem = QStringLiteral("Configuration file corrupt: ") +
                             QString::fromStdString(problem) + QStringLiteral(" in ") +
                             QString::fromStdString(paths[found]) +
                             QStringLiteral(". Please get the correct configuration file Config.txt");
        return false;
    }
    m_strServerAddress = std::move(config.address);
    m_nPort = config.port;
    m_bUseTls = config.useTls;
    m_strPinnedFingerprint = std::move(config.tlsFingerprint);
    return true;
}

QString CertificateFingerprint(const QSslCertificate& certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

bool CServerConnection::AcceptCertificate(const QSslCertificate& certificate, const QList<QSslError>& errors)
{
    if (certificate.isNull())
        return false;
    CCertificateQuestion question{
        QString::fromStdString(m_strServerAddress), m_nPort, CertificateFingerprint(certificate), {}, {}};
    if (!m_strPinnedFingerprint.empty()) {
        // ReadConfig lets no malformed pin through.
        const std::string pinned = NormalizeFingerprint(m_strPinnedFingerprint);
        if (pinned == NormalizeFingerprint(question.fingerprint.toStdString()))
            return true;
        // Refused whatever the answer; the user learns why.
        question.pinned =
            QString::fromLatin1(QByteArray::fromHex(QByteArray::fromStdString(pinned)).toHex(':').toUpper());
        Ask(question);
        m_bCertificateRefused = true;
        return false;
    }
    if (errors.isEmpty())
        return true;
    QStringList problems;
    for (const QSslError& error : errors)
        problems << error.errorString();
    problems.removeDuplicates();
    question.problems = problems.join(QLatin1Char('\n'));
    return Ask(question);
}

bool CServerConnection::Ask(const CCertificateQuestion& question)
{
    if (!m_certificateQuestion || !m_connectTimer.isActive())
        return false;
    // The user's time to answer does not count against the connect time-out.
    m_connectTimer.stop();
    CClientSocket* const asking = m_pSocket.get();
    m_bAskingCertificate = true;
    const bool trusted = m_certificateQuestion(question);
    m_bAskingCertificate = false;
    m_bCertificateRefused = !trusted;
    if (m_pSocket.get() != asking)
        return false;
    m_connectTimer.start(m_timing.connectTimeout);
    return trusted;
}

bool CServerConnection::Connect()
{
    m_bCertificateRefused = false;
    if (!ReadConfig()) {
        if (!m_strConfigProblem.isEmpty())
            emit ConfigurationMissing(m_strConfigProblem);
        else
            emit ConfigurationMissing(
                QStringLiteral("Configuration file not found or corrupt. Please get the correct "
                               "configuration file Config.txt\nLooked for it in: ") +
                ConfigSearchPaths().join(QStringLiteral(", ")));
        return false;
    }
    if (!m_pSocket || m_strServerAddress.empty() || m_nPort <= 0 || m_nPort > 65535)
        return false;
    SetConnected(0);
    m_pSocket->SetTls(m_bUseTls);
    if (!m_pSocket->Connect(QString::fromStdString(m_strServerAddress), static_cast<quint16>(m_nPort)))
        return false;
    m_connectTimer.start(m_timing.connectTimeout);
    return true;
}

void CServerConnection::OnSocketConnected()
{
    if (!m_connectTimer.isActive())
        return;
    m_connectTimer.stop();
    ResetStream();
    // A fresh receive record. The object itself is kept, so that a handler
    // further up the stack never holds a dangling reference to it.
    if (m_pMsg)
        *m_pMsg = CNetMessage();
    else
        m_pMsg = std::make_unique<CNetMessage>();
    m_pSocket->SetSendPause(m_timing.sendPause);
    SetConnected(1);
    emit ConnectFinished(true);
    // Bytes may have come with the connection itself.
    if (m_pSocket && m_pSocket->BytesAvailable() > 0)
        OnSocketReadable();
}

void CServerConnection::OnSocketConnectFailed()
{
    if (!m_connectTimer.isActive())
        return;
    TellIfNotTls();
    EndConnect(false);
}

void CServerConnection::TellIfNotTls()
{
    // A clear-text server takes the hello for the start of a record and
    // waits for the rest, or closes; either way no TLS comes back.
    if (m_pSocket && m_pSocket->ReachedWithoutTls())
        emit ConfigurationMissing(QStringLiteral("The server %1:%2 does not answer in TLS. If it does not "
                                                 "use TLS, remove USE_TLS=1 from config.txt.")
                                      .arg(QString::fromStdString(m_strServerAddress))
                                      .arg(m_nPort));
}

void CServerConnection::EndConnect(bool connected)
{
    m_connectTimer.stop();
    emit ConnectFinished(connected);
}

void CServerConnection::SetConnected(int connected)
{
    connected = connected ? 1 : 0;
    if (m_bConnected == connected)
        return;
    m_bConnected = connected;
    emit ConnectedChanged(connected != 0);
}

bool CServerConnection::Send(const CNetMessage& msg)
{
    return Queue(msg, true);
}

bool CServerConnection::SendUnpaced(const CNetMessage& msg)
{
    return Queue(msg, false);
}

bool CServerConnection::SendThen(const CNetMessage& msg, std::function<void()> written)
{
    return Queue(msg, true, std::move(written));
}

bool CServerConnection::Queue(const CNetMessage& msg, bool paced, std::function<void()> written)
{
    if (!m_pSocket || !m_bConnected)
        return false;
    std::string bytes = EncodeRecord(msg);
    // The server drops a connection that sends it more than it accepts; such
    // a record is refused here and the connection kept.
    CNetMessage check;
    if (DecodeRecord(bytes, check, kServerLimits).status != DecodeStatus::Complete)
        return false;
    return m_pSocket->Enqueue(std::move(bytes), paced, std::move(written));
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
    return true;
}

void CServerConnection::SetSocket(std::unique_ptr<CClientSocket> socket)
{
    m_connectTimer.stop();
    m_dispatchTimer.stop();
    m_pSocket = std::move(socket);
    m_pStream.reset();
    SetConnected(0);
}

void CServerConnection::DeleteSocket()
{
    // Whatever was received on this socket and not yet handled goes with it.
    m_connectTimer.stop();
    m_dispatchTimer.stop();
    m_pSocket.reset();
    m_pStream.reset();
    SetConnected(0);
}

void CServerConnection::CloseAfterSending(std::chrono::milliseconds linger)
{
    m_connectTimer.stop();
    m_dispatchTimer.stop();
    m_pStream.reset();
    SetConnected(0);
    if (!m_pSocket)
        return;
    // From here the socket belongs to itself (and, should the program end
    // first, to this object as its parent).
    CClientSocket* socket = m_pSocket.release();
    socket->setParent(this);
    socket->CloseWhenSent(linger);
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
        if (m_strFirstBytes.size() < kTlsHeader)
            m_strFirstBytes.append(bytes, 0, kTlsHeader - m_strFirstBytes.size());
        m_pStream->Append(bytes);
    }
}

void CServerConnection::ScheduleDispatch()
{
    if (m_dispatchTimer.isActive())
        return;
    std::chrono::milliseconds delay{0};
    if (m_sinceDispatch.isValid()) {
        const auto elapsed = std::chrono::milliseconds(m_sinceDispatch.elapsed());
        if (elapsed < m_timing.receivePause)
            delay = m_timing.receivePause - elapsed;
    }
    m_dispatchTimer.start(delay);
}

void CServerConnection::DispatchNext()
{
    if (!m_pSocket || !m_pStream || m_bLostReported)
        return;
    if (Receive()) {
        m_sinceDispatch.restart();
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
    m_strFirstBytes.clear();
    m_sinceDispatch.invalidate();
}

QString CServerConnection::LostReason() const
{
    if (m_bUseTls || !IsTlsAlert(m_strFirstBytes))
        return {};
    return QStringLiteral("The server answered in TLS: set USE_TLS=1 in config.txt (and TLS_FINGERPRINT, "
                          "should its certificate not be signed by an authority this computer trusts).");
}
