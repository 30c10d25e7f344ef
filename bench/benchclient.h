#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

// A plain blocking client on the shared codec; receives time out. With `tls`
// it speaks TLS (accepting any certificate). `from`: the loopback address to
// connect from (127.x.y.z), for a client that stands for another host.
class CBenchClient
{
public:
    explicit CBenchClient(uint16_t port, bool tls = false, const std::string& from = {});
    ~CBenchClient();
    CBenchClient(const CBenchClient&) = delete;
    CBenchClient& operator=(const CBenchClient&) = delete;

    int Fd() const { return m_fd; }
    void Send(const CNetMessage& msg);
    // Encoded records, written as they are.
    void SendRaw(const std::string& bytes);
    void Send(const char* command, const std::string& sender, const std::string& recipient,
              const std::string& text = {});
    // Reads what the socket has now, without waiting; false at end of stream.
    bool ReadAvailable();
    std::optional<CNetMessage> Next();
    // Waits for a record with `command`, skipping others; throws on time-out.
    CNetMessage Expect(const std::string& command,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The same for any of `commands`, for waits that may well end without
    // one: says how it ended, and puts the record in `record` when given.
    enum class CWaited {
        Record,
        TimedOut,
        Closed,
    };
    CWaited Wait(std::initializer_list<std::string_view> commands, std::chrono::milliseconds timeout,
                 CNetMessage* record = nullptr);

private:
    int m_fd = -1;
    SSL* m_ssl = nullptr;
    CRecordStream m_stream{kClientLimits};
    std::deque<CNetMessage> m_records;
};

// A connected TCP socket to the server on loopback `port`, from `from` when
// given; throws when it cannot connect.
int ConnectFrom(uint16_t port, const std::string& from = {});
