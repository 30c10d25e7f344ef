#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class QTcpSocket;

// A server for tests: listens on 127.0.0.1 at a port the system picks, takes
// one client at a time, writes records or raw bytes to it and decodes what it
// sends. Every wait runs the event loop and ends at its time-out.
class CFakeServer final : public QObject
{
    Q_OBJECT

public:
    explicit CFakeServer(QObject* parent = nullptr);
    ~CFakeServer() override;

    bool IsListening() const { return m_server.isListening(); }
    quint16 Port() const { return m_server.serverPort(); }

    // Waits for a client to connect (true at once when one is connected).
    bool WaitForClient(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool HasClient() const;
    // Connections accepted so far.
    int AcceptedCount() const { return m_nAccepted; }

    // Writes to the client; false without one.
    bool Inject(const CNetMessage& msg);
    bool InjectBytes(std::string_view bytes);

    // The next record the client sent, waiting for it to be complete.
    std::optional<CNetMessage> ExpectRecord(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The same, and its command must be `command` (a warning says otherwise).
    std::optional<CNetMessage> Expect(std::string_view command,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when no byte arrives within `timeout`.
    bool ExpectNoRecord(std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
    // Exactly `count` raw bytes off the front of what the client sent; fewer
    // when the time-out passes first.
    std::string ExpectBytes(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // What the client sent and no Expect has taken yet.
    std::string_view ReceivedBytes() const { return m_received.Pending(); }

    // Closes the connection to the client from the server's side.
    void CloseClient();
    // Waits until the client has closed its end.
    bool WaitForClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void OnNewConnection();
    void OnReadyRead();
    void OnDisconnected();

    QTcpServer m_server;
    QPointer<QTcpSocket> m_pClient;
    CRecordStream m_received{kClientLimits};
    bool m_bClientClosed = false;
    int m_nAccepted = 0;
};
