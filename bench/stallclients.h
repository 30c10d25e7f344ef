#pragma once

#include "benchclient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The users of the stall benchmark. Every account has the password "pw".

using StallClock = std::chrono::steady_clock;

double SecondsSince(StallClock::time_point start);
// "none", "1", "1,234"
std::string CountOf(long n);

// An "M" to `recipient`; with an `id` unless that is empty.
CNetMessage StallMessage(const std::string& recipient, const std::string& id, const std::string& text);

// Registers every one of `names` on the node at `port`.
void RegisterAll(uint16_t port, const std::vector<std::string>& names);

// What became of a request that may get no answer: which answer came, or
// that the connection was closed or nothing came in time; and when.
struct CAnswer
{
    CBenchClient::CWaited how = CBenchClient::CWaited::TimedOut;
    std::string command; // of the answer, when one came
    double seconds = 0;

    // "answered "SL" after 0.01 s", "closed after 10.0 s, unanswered", ...
    std::string Describe() const;
};

// Sends `request` and waits up to `timeout` for an answer with one of
// `commands`. The command of a receipt ("MA") comes with its text.
CAnswer Ask(CBenchClient& client, const CNetMessage& request,
            std::initializer_list<std::string_view> commands, std::chrono::milliseconds timeout);

// A login of `name` on a new connection at `port`: "L", and the wait for
// its answer, up to `timeout`. Once accepted it is completed ("SL", "SLO")
// and the client stays logged in.
struct CTimedLogin
{
    CTimedLogin(uint16_t port, const std::string& name, std::chrono::milliseconds timeout);

    std::unique_ptr<CBenchClient> client;
    CAnswer answer;
};

// A logged-in client of `name` at `port`; throws when the login fails.
std::unique_ptr<CBenchClient> LogIn(uint16_t port, const std::string& name);

// Makes the two logged-in users friends.
void MakeFriends(CBenchClient& a, const std::string& aName, CBenchClient& b, const std::string& bName);

// Two friends on one node writing to each other one message after another:
// the first sends, the second sends once that arrived, and so on, `count`
// messages, each at least `pace` after the one before. On a thread of its
// own; Join gives the delivery latency of each message in milliseconds, or
// throws when one was lost or the probe failed.
class CLiveProbe
{
public:
    CLiveProbe(CBenchClient& first, std::string firstName, CBenchClient& second, std::string secondName,
               std::chrono::milliseconds pace, int count = 30);
    ~CLiveProbe();
    CLiveProbe(const CLiveProbe&) = delete;
    CLiveProbe& operator=(const CLiveProbe&) = delete;

    std::vector<double> Join();

private:
    void Run(CBenchClient& first, CBenchClient& second, std::chrono::milliseconds pace, int count);

    std::string m_names[2];
    std::vector<double> m_latencies;
    std::exception_ptr m_error;
    std::thread m_thread;
};

// "slowest of 30 3.6 ms, median 0.2 ms"
std::string DescribeLatencies(std::vector<double> latencies);
