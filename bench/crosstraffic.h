#pragma once

#include "benchclient.h"
#include "stallclients.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Two logged-in users on two nodes writing to each other, `rate` messages a
// second each way, every message with an id, on a thread of its own. Counts,
// by id, what the receipts said and what arrived, live or stored, and how
// often.
class CCrossTraffic
{
public:
    CCrossTraffic(uint16_t portA, const std::string& userA, uint16_t portB, const std::string& userB,
                  int rate);
    ~CCrossTraffic();
    CCrossTraffic(const CCrossTraffic&) = delete;
    CCrossTraffic& operator=(const CCrossTraffic&) = delete;

    // Stops sending and waits up to `settle` for every message to be
    // answered; then logs both users in again on new connections, which
    // takes what was stored for them meanwhile. Says what it counted:
    // "1,200 sent: 1,200 delivered, none stored, none refused, none
    // unanswered; none lost, none twice".
    std::string Finish(std::chrono::milliseconds settle);

private:
    struct CUser
    {
        std::string name;
        uint16_t port = 0;
        std::unique_ptr<CBenchClient> client; // null once the server closed it
        long sent = 0;
    };

    void Run(std::chrono::microseconds period);
    // Reads what comes for both users until `until`; a connection the
    // server closed is dropped.
    void Take(StallClock::time_point until);
    void Note(CBenchClient& client, const CNetMessage& record);
    // Sends a request answered at once and reads until its answer.
    void RoundTrip(CBenchClient& client, const std::string& name);
    // Takes what waited for `user` on a new login.
    void TakeStored(CUser& user);
    bool AllAnswered() const { return m_answers.size() == m_ids.size(); }

    CUser m_users[2];
    std::vector<std::string> m_ids;               // sent
    std::map<std::string, std::string> m_answers; // id: the receipt's text, or "F"
    std::map<std::string, int> m_arrivals;        // id: how often it arrived
    StallClock::time_point m_lastRecord;
    std::atomic<bool> m_stop{false};
    std::exception_ptr m_error;
    std::thread m_thread;
};
