#pragma once

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class ISocketOwner;
class QSslSocket;
class QSslError;
class QTcpSocket;

// The stream socket of the connection to the server. It owns a QTcpSocket,
// or a QSslSocket when TLS is asked for: only then are OpenSSL and Qt's TLS
// plugin loaded, which a clear-text client never needs. It tells its owner,
// the connection, when the connection is made or fails, when bytes arrive
// and when the stream ends; reading and decoding are the owner's business.
// Created by the session's open routine and owned by the connection from
// then on.
//
// Outgoing records wait on the socket's queue. One is written as soon as the
// previous paced record is `sendPause` old, so the server sees at most about
// ten records a second while the event loop runs on. Nothing here blocks.
class CClientSocket final : public QObject
{
    Q_OBJECT

public:
    explicit CClientSocket(ISocketOwner* owner);
    ~CClientSocket() override;

    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    // Creates the stream socket; false when that fails.
    bool Create();

    // With TLS the next Connect encrypts (on a socket made for it), and
    // counts as made only once the handshake is done and the owner has
    // accepted the certificate; there is no clear-text fallback.
    void SetTls(bool tls) { m_bTls = tls; }

    // Starts connecting to a dotted address or a host name. The owner hears
    // OnSocketConnected or OnSocketConnectFailed; the time-out is its own.
    bool Connect(const QString& host, quint16 port);

    // The gap that a paced record leaves before the next one is written.
    void SetSendPause(std::chrono::milliseconds pause) { m_sendPause = pause; }
    // Queues the bytes of one record; false when the socket is not connected.
    // A write that fails later ends the connection like a close by the peer.
    // `written` runs once the bytes are handed to the network layer; a
    // record dropped with the queue (the connection ended first) never runs it.
    bool Enqueue(std::string bytes, bool paced, std::function<void()> written = {});
    // Records queued and not yet handed to the network layer.
    std::size_t QueuedRecords() const { return m_queue.size(); }

    // Takes up to `maxBytes` of what has arrived.
    std::string Read(std::size_t maxBytes);
    std::size_t BytesAvailable() const;

    bool IsConnected() const;
    void Close();

    // The last Connect reached the server over TCP, but no TLS came back to
    // its hello: a connect that ends so found a server that does not speak
    // TLS there.
    bool ReachedWithoutTls() const { return m_bTls && m_bReached && !m_bTlsAnswered; }

    // Retires the socket: the owner hears nothing more, what is queued is
    // written at its pace, the socket stays open `linger` after the last
    // write, then closes and deletes itself.
    void CloseWhenSent(std::chrono::milliseconds linger);

private:
    // A new socket of the kind the TLS setting asks for, in place of the old.
    bool MakeSocket();
    void OnConnected();
    void OnEncrypted();
    void OnSslErrors(const QList<QSslError>& errors);
    void FailConnect();
    // The stream is usable: the connect (and over TLS the handshake and the
    // certificate check) succeeded.
    void FinishConnect();
    void OnReceive();
    void OnClose();
    void OnError(QAbstractSocket::SocketError error);
    void ReportClosed();
    void WriteQueued();
    // Reads and drops what the server sent and nobody will read now.
    void DiscardUnreadInput();
    void Linger();

    struct COutgoing
    {
        std::string bytes;
        bool paced = true;
        std::function<void()> written;
    };

    ISocketOwner* m_pOwner;
    std::unique_ptr<QTcpSocket> m_pSocket;
    // The same socket when it was made for TLS, else null.
    QSslSocket* m_pSslSocket = nullptr;
    bool m_bTls = false;
    bool m_bOpen = false;        // connected and not yet closed
    bool m_bConnecting = false;  // Connect started, no answer yet
    bool m_bReached = false;     // the TCP connection of the last Connect was made
    bool m_bTlsAnswered = false; // a certificate came (to check or to question)
    bool m_bRetiring = false;
    bool m_bFlushOnDestroy = false;

    std::chrono::milliseconds m_sendPause{0};
    std::chrono::milliseconds m_linger{0};
    std::deque<COutgoing> m_queue;
    QTimer m_sendTimer;
    QElapsedTimer m_sinceWrite;
    bool m_bGapPending = false; // the last write was paced
};
