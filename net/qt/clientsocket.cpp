#include "clientsocket.h"

#include "socketowner.h"

#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>

#include <new>

#include <sys/socket.h>

namespace {

// What Qt may hold of unread input before it stops reading and lets TCP hold
// the server back; the connection keeps at most one record's worth itself.
constexpr qint64 kSocketReadBuffer = 1 << 20;

} // namespace

CClientSocket::CClientSocket(ISocketOwner* owner) : m_pOwner(owner)
{
    m_sendTimer.setSingleShot(true);
    connect(&m_sendTimer, &QTimer::timeout, this, &CClientSocket::WriteQueued);
}

CClientSocket::~CClientSocket()
{
    if (m_pSocket) {
        // Closing the socket from here must not reach the owner: an intended
        // close is not a lost connection.
        QObject::disconnect(m_pSocket.get(), nullptr, this, nullptr);
        // A retired socket may go with the program while records are still
        // queued, the log-off among them: they go now, unpaced, rather than
        // not at all.
        if (m_bFlushOnDestroy && IsConnected()) {
            for (const COutgoing& record : m_queue)
                m_pSocket->write(record.bytes.data(), static_cast<qint64>(record.bytes.size()));
            m_pSocket->flush();
            // Input left unread makes the system reset the connection on
            // close, and a reset can drop the bytes just written: it is read
            // off first, so the close is an orderly one behind them.
            DiscardUnreadInput();
        }
        m_pSocket->abort();
    }
}

void CClientSocket::DiscardUnreadInput()
{
    const qintptr descriptor = m_pSocket->socketDescriptor();
    if (descriptor < 0)
        return;
    char buffer[4096];
    while (::recv(static_cast<int>(descriptor), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

bool CClientSocket::Create()
{
    return m_pSocket || MakeSocket();
}

bool CClientSocket::MakeSocket()
{
    // Merely constructing a QSslSocket loads the TLS backend and OpenSSL,
    // so a clear-text connection gets a plain socket.
    std::unique_ptr<QTcpSocket> socket;
    QSslSocket* ssl = nullptr;
    try {
        if (m_bTls) {
            auto made = std::make_unique<QSslSocket>();
            ssl = made.get();
            socket = std::move(made);
        } else {
            socket = std::make_unique<QTcpSocket>();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (m_pSocket) {
        QObject::disconnect(m_pSocket.get(), nullptr, this, nullptr);
        m_pSocket->abort();
    }
    m_pSocket = std::move(socket);
    m_pSslSocket = ssl;
    m_pSocket->setReadBufferSize(kSocketReadBuffer);
    connect(m_pSocket.get(), &QTcpSocket::connected, this, &CClientSocket::OnConnected);
    if (m_pSslSocket) {
        connect(m_pSslSocket, &QSslSocket::encrypted, this, &CClientSocket::OnEncrypted);
        connect(m_pSslSocket, &QSslSocket::sslErrors, this, &CClientSocket::OnSslErrors);
    }
    connect(m_pSocket.get(), &QTcpSocket::readyRead, this, &CClientSocket::OnReceive);
    connect(m_pSocket.get(), &QTcpSocket::disconnected, this, &CClientSocket::OnClose);
    connect(m_pSocket.get(), &QTcpSocket::errorOccurred, this, &CClientSocket::OnError);
    return true;
}

bool CClientSocket::Connect(const QString& host, quint16 port)
{
    if (!m_pSocket)
        return false;
    m_bOpen = false;
    m_queue.clear();
    m_pSocket->abort();
    if (m_bTls != (m_pSslSocket != nullptr) && !MakeSocket())
        return false;
    m_bConnecting = true;
    m_bReached = m_bTlsAnswered = false;
    // Encrypted, the certificate is checked against the system's store and
    // `host` as its name.
    if (m_bTls)
        m_pSslSocket->connectToHostEncrypted(host, port);
    else
        m_pSocket->connectToHost(host, port);
    return true;
}

bool CClientSocket::Enqueue(std::string bytes, bool paced, std::function<void()> written)
{
    if (!IsConnected() || m_bRetiring)
        return false;
    m_queue.push_back({std::move(bytes), paced, std::move(written)});
    WriteQueued();
    return true;
}

void CClientSocket::WriteQueued()
{
    while (!m_queue.empty()) {
        if (!IsConnected()) {
            // The close is reported on its own path; nothing more goes out.
            m_queue.clear();
            break;
        }
        if (m_bGapPending && m_sinceWrite.isValid()) {
            const auto elapsed = std::chrono::milliseconds(m_sinceWrite.elapsed());
            if (elapsed < m_sendPause) {
                if (!m_sendTimer.isActive())
                    m_sendTimer.start(m_sendPause - elapsed);
                return;
            }
        }
        const COutgoing record = std::move(m_queue.front());
        m_queue.pop_front();
        const auto size = static_cast<qint64>(record.bytes.size());
        // Qt keeps what the network does not take at once and writes it from
        // the event loop; flush hands over what it can now without blocking.
        if (m_pSocket->write(record.bytes.data(), size) != size) {
            m_queue.clear();
            m_pSocket->abort();
            ReportClosed();
            return;
        }
        m_pSocket->flush();
        m_sinceWrite.restart();
        m_bGapPending = record.paced && m_sendPause.count() > 0;
        if (record.written)
            record.written();
    }
    if (m_bRetiring)
        Linger();
}

void CClientSocket::CloseWhenSent(std::chrono::milliseconds linger)
{
    m_pOwner = nullptr;
    m_bRetiring = true;
    m_bFlushOnDestroy = true;
    m_linger = linger;
    WriteQueued();
}

void CClientSocket::Linger()
{
    // Called once the queue is empty; the timer is the one of the writes,
    // now counting the pause before the close.
    disconnect(&m_sendTimer, nullptr, this, nullptr);
    m_bRetiring = false;
    const auto close = [this] {
        Close();
        deleteLater();
    };
    if (m_linger.count() <= 0 || !IsConnected()) {
        close();
        return;
    }
    connect(&m_sendTimer, &QTimer::timeout, this, close);
    m_sendTimer.start(m_linger);
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
    return m_pSocket && m_pSocket->state() == QAbstractSocket::ConnectedState &&
           (!m_bTls || (m_pSslSocket && m_pSslSocket->isEncrypted()));
}

void CClientSocket::Close()
{
    m_bOpen = false;
    m_bConnecting = false;
    m_queue.clear();
    m_sendTimer.stop();
    if (m_pSocket)
        m_pSocket->abort();
}

void CClientSocket::OnConnected()
{
    m_bReached = true;
    // Over TLS the stream is usable only once the handshake is done.
    if (!m_bConnecting || m_bTls)
        return;
    FinishConnect();
}

void CClientSocket::OnEncrypted()
{
    m_bTlsAnswered = true;
    if (!m_bConnecting)
        return;
    // A certificate that verified still has to match a pinned fingerprint.
    if (m_pOwner && !m_pOwner->AcceptCertificate(m_pSslSocket->peerCertificate(), {})) {
        FailConnect();
        return;
    }
    FinishConnect();
}

void CClientSocket::FinishConnect()
{
    m_bConnecting = false;
    m_bOpen = true;
    m_sinceWrite.invalidate();
    m_bGapPending = false;
    if (m_pOwner)
        m_pOwner->OnSocketConnected();
}

void CClientSocket::OnSslErrors(const QList<QSslError>& errors)
{
    m_bTlsAnswered = true;
    if (!m_bConnecting || !m_pOwner)
        return;
    // The owner may ask the user in a modal box, whose event loop can drop
    // this socket meanwhile.
    const QPointer<CClientSocket> self(this);
    const bool accepted = m_pOwner->AcceptCertificate(m_pSslSocket->peerCertificate(), errors);
    if (!self || !m_pSslSocket || !m_bConnecting)
        return;
    if (accepted)
        m_pSslSocket->ignoreSslErrors(errors);
    // Otherwise the handshake fails and reports an error.
}

void CClientSocket::FailConnect()
{
    m_bConnecting = false;
    m_pSocket->abort();
    if (m_pOwner)
        m_pOwner->OnSocketConnectFailed();
}

void CClientSocket::OnReceive()
{
    if (m_pOwner)
        m_pOwner->OnSocketReadable();
}

void CClientSocket::OnClose()
{
    ReportClosed();
}

void CClientSocket::ReportClosed()
{
    m_queue.clear();
    // Only the end of an established stream is news to the owner, and only once.
    if (!m_bOpen)
        return;
    m_bOpen = false;
    if (m_pOwner)
        m_pOwner->OnSocketClosed();
}

void CClientSocket::OnError(QAbstractSocket::SocketError error)
{
    // A connect that is refused, finds no host or fails otherwise is the
    // owner's to report as a failed connect, not as a lost connection.
    if (m_bConnecting) {
        FailConnect();
        return;
    }
    if (error == QAbstractSocket::SocketTimeoutError)
        return;
    // An error that ends an open stream is the end of the connection.
    if (m_pSocket->state() == QAbstractSocket::ConnectedState &&
        error != QAbstractSocket::RemoteHostClosedError)
        return;
    ReportClosed();
}
