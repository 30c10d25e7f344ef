#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTcpSocket;

// A test server on 127.0.0.1 at a port the system picks that keeps every
// connection it accepts, numbered from 0 in order of acceptance, with what
// each one sent. Unlike CFakeServer it does not drop an earlier client when
// a new one connects, so a test can see which connection carried which
// record when a client reconnects. Every wait ends at its time-out.
class CMultiClientServer final : public QObject
{
    Q_OBJECT

public:
    explicit CMultiClientServer(QObject* parent = nullptr);
    ~CMultiClientServer() override;

    bool IsListening() const { return m_server.isListening(); }
    quint16 Port() const { return m_server.serverPort(); }

    int ConnectionCount() const { return static_cast<int>(m_connections.size()); }
    // Waits until at least `count` connections have been accepted.
    bool WaitForConnections(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether the client has closed connection `index`.
    bool IsClosed(int index) const;
    bool WaitForClosed(int index, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Writes to connection `index`; false when it is not open.
    bool Inject(int index, const CNetMessage& msg);

    // The next record connection `index` sent, waiting for it to be
    // complete; its command must be `command` when one is given.
    std::optional<CNetMessage> Expect(int index, std::string_view command = {},
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when connection `index` sends no byte within `timeout`.
    bool ExpectNoRecord(int index, std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
    // What connection `index` sent and no Expect has taken yet.
    std::string_view Pending(int index) const;

private:
    struct CConnection
    {
        QPointer<QTcpSocket> socket;
        CRecordStream received{kClientLimits};
        bool closed = false;
    };

    void OnNewConnection();
    void Read(std::size_t index);

    QTcpServer m_server;
    std::vector<CConnection> m_connections;
};
