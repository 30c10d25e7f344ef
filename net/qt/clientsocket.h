#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CServerConnection;
class QTcpSocket;

// The stream socket of the connection to the server. It owns a QTcpSocket
// and tells its owner, the connection, when bytes arrive or the stream ends;
// reading and decoding are the owner's business. Created by the session's
// open routine and owned by the connection from then on.
class CClientSocket final : public QObject
{
    Q_OBJECT

public:
    explicit CClientSocket(CServerConnection* owner);
    ~CClientSocket() override;

    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    // Creates the stream socket; false when that fails.
    bool Create();

    // Connects to a dotted address or a host name and blocks until the
    // connection is made, refused or `timeout` passes.
    bool Connect(const QString& host, quint16 port, std::chrono::milliseconds timeout);

    // Writes all of `bytes` and blocks until the socket has handed every one
    // of them to the network; false on a socket error or after `timeout`.
    bool Write(std::string_view bytes, std::chrono::milliseconds timeout);

    // Takes up to `maxBytes` of what has arrived.
    std::string Read(std::size_t maxBytes);
    std::size_t BytesAvailable() const;

    bool IsConnected() const;
    void Close();

    CServerConnection* Owner() const { return m_pOwner; }

private:
    void OnReceive();
    void OnClose();
    void OnError(QAbstractSocket::SocketError error);
    void ReportClosed();

    CServerConnection* m_pOwner;
    std::unique_ptr<QTcpSocket> m_pSocket;
    bool m_bOpen = false; // connected by Connect and not yet closed
};
