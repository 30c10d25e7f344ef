#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

typedef struct ssl_st SSL;

using namespace std::chrono_literals;

// A protocol client for tests: blocking sends, and receives that always time
// out. Failures are reported through GoogleTest (ADD_FAILURE) so a test goes
// on and shows everything that went wrong.
class CTestClient
{
public:
    static constexpr auto kWait = 3s; // for records that must come

    // With `tls` the client completes a TLS handshake first (any certificate
    // is accepted); when it fails the client is not connected. `from`: the
    // loopback address to connect from (any 127.x.y.z), for tests of the
    // per-address rules; empty: the system's choice. `preface`: bytes sent
    // before anything else, TLS included, as a proxy's header.
    explicit CTestClient(uint16_t port, bool tls = false, const std::string& from = {},
                         const std::string& preface = {});
    ~CTestClient();
    CTestClient(const CTestClient&) = delete;
    CTestClient& operator=(const CTestClient&) = delete;

    bool IsConnected() const { return m_fd >= 0; }

    void Send(const CNetMessage& msg);
    // Writes raw bytes; returns false when the server has closed the socket.
    bool SendRaw(const std::string& bytes);
    // Ends the sending direction, as a client that gives up does.
    void ShutdownSend();
    void Send(const char* command, std::string sender = {}, std::string recipient = {},
              std::string text = {});

    // The next record, or nullopt after `timeout` or at end of stream. With
    // 0, only a record that has come already.
    std::optional<CNetMessage> Receive(std::chrono::milliseconds timeout = kWait);
    // The next record, which must carry `command`; an empty record otherwise.
    CNetMessage Expect(const std::string& command, std::chrono::milliseconds timeout = kWait);
    // True when nothing arrives before the answer to a request sent now (a
    // registration with no name, refused at once and changing nothing): the
    // server serves a connection's records in order, so whatever it sent
    // this client before serving the request comes first. When another
    // client's record is what must not arrive here, let that client make its
    // own round trip first. Also true when the stream ends.
    bool ExpectNoRecord();
    // True when bytes arrive within `timeout`, which are left unread (for
    // raw bytes that are not records); false at the end of the stream.
    bool WaitBytes(std::chrono::milliseconds timeout = kWait);
    // True when the server closes the connection within `timeout`; records
    // that arrive before are kept and can still be taken with Receive.
    bool WaitClosed(std::chrono::milliseconds timeout = kWait);

    // Account helpers: each expects the successful answer.
    void Register(const std::string& name, const std::string& password);
    // "L", then the client's "SL"; returns the "SLU". SLO is left to the test
    // unless `complete` is set.
    CNetMessage Login(const std::string& name, const std::string& password, bool complete = true);

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);
    bool DecodeBuffered();
    bool StartTls();

    int m_fd = -1;
    SSL* m_ssl = nullptr;
    bool m_eof = false;
    CRecordStream m_stream{kClientLimits};
    std::deque<CNetMessage> m_records;
};

// The header a proxy sends for a client at `address` (IPv4 or IPv6) and
// `port`: the text form, or the binary one with `extra` (optional fields)
// behind the addresses.
std::string ProxyHeaderV1(const std::string& address, uint16_t port = 40000);
std::string ProxyHeaderV2(const std::string& address, uint16_t port = 40000, const std::string& extra = {});

// Font, colour and size values that differ in every field, for byte-exact
// comparisons; with `id`, the message carries it for a receipt.
CNetMessage MakeFontMessage(const std::string& recipient, const std::string& text, const std::string& id = {});
// The next record, which must be the receipt "MA" for `id` saying `outcome`.
void ExpectReceipt(CTestClient& sender, const std::string& id, const std::string& outcome,
                   std::chrono::milliseconds timeout = CTestClient::kWait);
void ExpectSameFont(const CNetMessage& expected, const CNetMessage& actual);
