#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <QTcpSocket>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// A second user of the service without any window: it speaks the record
// codec straight over a socket. Every wait runs the event loop (so the
// client under test keeps working meanwhile) and ends at its time-out.
class CRawClient
{
public:
    explicit CRawClient(uint16_t port);

    bool IsConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool Send(const CNetMessage& msg);
    bool Send(const char* command, std::string sender = {}, std::string recipient = {},
              std::string text = {});

    // The next record whose command is `command`; records with other
    // commands that arrive first are passed over.
    std::optional<CNetMessage> Expect(const std::string& command,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Every record that arrives before the first whose command is `command`,
    // which ends the wait; nothing when that one does not come in time.
    std::optional<std::vector<CNetMessage>>
    Before(const std::string& command, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // "R", answered by "SR".
    bool Register(const std::string& name, const std::string& password);
    // "L", "SL", "SLO": logged in and online.
    bool Login(const std::string& name, const std::string& password);
    // "X": logged off; the server closes the connection.
    void Logoff(const std::string& name);

private:
    void Pull();

    QTcpSocket m_socket;
    CRecordStream m_stream{kClientLimits};
    std::deque<CNetMessage> m_records;
};
