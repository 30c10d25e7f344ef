#include "clientsocket.h"

#include "serverconnection.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

#include <new>

namespace {

// What Qt may hold of unread input before it stops reading and lets TCP hold
// the server back; the connection keeps at most one record's worth itself.
constexpr qint64 kSocketReadBuffer = 1 << 20;

} // namespace

CClientSocket::CClientSocket(CServerConnection* owner) : m_pOwner(owner) {}

CClientSocket::~CClientSocket()
{
    if (m_pSocket) {
        // Closing the socket from here must not reach the owner: an intended
        // close is not a lost connection.
        QObject::disconnect(m_pSocket.get(), nullptr, this, nullptr);
        m_pSocket->abort();
    }
}

bool CClientSocket::Create()
{
    if (m_pSocket)
        return true;
    try {
        m_pSocket = std::make_unique<QTcpSocket>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_pSocket->setReadBufferSize(kSocketReadBuffer);
    connect(m_pSocket.get(), &QTcpSocket::readyRead, this, &CClientSocket::OnReceive);
    connect(m_pSocket.get(), &QTcpSocket::disconnected, this, &CClientSocket::OnClose);
    connect(m_pSocket.get(), &QTcpSocket::errorOccurred, this, &CClientSocket::OnError);
    return true;
}

bool CClientSocket::Connect(const QString& host, quint16 port, std::chrono::milliseconds timeout)
{
    if (!m_pSocket)
        return false;
    m_bOpen = false;
    m_pSocket->abort();
    m_pSocket->connectToHost(host, port);
    if (!m_pSocket->waitForConnected(static_cast<int>(timeout.count()))) {
        m_pSocket->abort();
        return false;
    }
    m_bOpen = true;
    return true;
}

bool CClientSocket::Write(std::string_view bytes, std::chrono::milliseconds timeout)
{
    if (!IsConnected())
        return false;
    const auto size = static_cast<qint64>(bytes.size());
    if (m_pSocket->write(bytes.data(), size) != size)
        return false;
    // Flush the whole record now, as a blocking send would. Bytes that arrive
    // meanwhile are only buffered by the owner, never decoded here.
    const QDeadlineTimer deadline(timeout);
    while (m_pSocket->bytesToWrite() > 0) {
        if (!IsConnected() || deadline.hasExpired())
            return false;
        if (!m_pSocket->waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
            return false;
    }
    return true;
}

std::string CClientSocket::Read(std::size_t maxBytes)
{
    std::string bytes;
    if (!m_pSocket || !m_pSocket->isOpen() || maxBytes == 0)
        return bytes;
    const qint64 available = m_pSocket->bytesAvailable();
    if (available <= 0)
        return bytes;
    bytes.resize(std::min(maxBytes, static_cast<std::size_t>(available)));
    const qint64 got = m_pSocket->read(bytes.data(), static_cast<qint64>(bytes.size()));
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::size_t CClientSocket::BytesAvailable() const
{
    if (!m_pSocket || !m_pSocket->isOpen())
        return 0;
    const qint64 available = m_pSocket->bytesAvailable();
    return available > 0 ? static_cast<std::size_t>(available) : 0;
}

bool CClientSocket::IsConnected() const
{
    return m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState;
}

void CClientSocket::Close()
{
    m_bOpen = false;
    if (m_pSocket)
        m_pSocket->abort();
}

void CClientSocket::OnReceive()
{
    m_pOwner->OnSocketReadable();
}

void CClientSocket::OnClose()
{
    ReportClosed();
}

void CClientSocket::ReportClosed()
{
    // Only the end of an established stream is news to the owner, and only once.
    if (!m_bOpen)
        return;
    m_bOpen = false;
    m_pOwner->OnSocketClosed();
}

void CClientSocket::OnError(QAbstractSocket::SocketError error)
{
    // A wait of our own that timed out leaves the socket as it was, and a
    // refused connect is Connect's to report. An error that ends an open
    // stream is the end of the connection.
    if (error == QAbstractSocket::SocketTimeoutError)
        return;
    if (m_pSocket->state() == QAbstractSocket::ConnectedState &&
        error != QAbstractSocket::RemoteHostClosedError)
        return;
    ReportClosed();
}
