#include "crosstraffic.h"

#include "commands.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>

using namespace std::chrono_literals;

CCrossTraffic::CCrossTraffic(uint16_t portA, const std::string& userA, uint16_t portB,
                             const std::string& userB, int rate)
    : m_users{{userA, portA, LogIn(portA, userA)}, {userB, portB, LogIn(portB, userB)}}
{
    const auto period = std::chrono::microseconds(1'000'000 / rate);
    m_thread = std::thread([this, period] {
        try {
            Run(period);
        } catch (...) {
            m_error = std::current_exception();
        }
    });
}

CCrossTraffic::~CCrossTraffic()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CCrossTraffic::Run(std::chrono::microseconds period)
{
    auto next = StallClock::now();
    while (!m_stop) {
        for (int i = 0; i < 2; ++i) {
            CUser& user = m_users[i];
            if (!user.client)
                continue;
            const std::string id = user.name + "-" + std::to_string(user.sent++);
            try {
                user.client->Send(StallMessage(m_users[1 - i].name, id, id));
            } catch (const std::exception&) {
                user.client.reset();
                continue;
            }
            m_ids.push_back(id);
        }
        next += period;
        Take(next);
    }
}

void CCrossTraffic::Take(StallClock::time_point until)
{
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<CUser*> users;
        for (CUser& user : m_users) {
            if (user.client) {
                fds.push_back({user.client->Fd(), POLLIN, 0});
                users.push_back(&user);
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - StallClock::now());
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(left.count(), 0))) > 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                CBenchClient& client = *users[i]->client;
                const bool open = client.ReadAvailable();
                while (auto record = client.Next())
                    Note(client, *record);
                if (!open)
                    users[i]->client.reset();
            }
        }
        if (StallClock::now() >= until)
            return;
    }
}

void CCrossTraffic::Note(CBenchClient& client, const CNetMessage& record)
{
    m_lastRecord = StallClock::now();
    if (record.names.empty())
        return;
    if (record.command == Cmd::MessageAck) {
        m_answers[record.names[0]] = record.text;
    } else if (record.command == Cmd::Failure) {
        m_answers[record.names[0]] = "F";
    } else if (record.command == Cmd::IncomingMessage) {
        ++m_arrivals[record.names[0]];
    } else if (record.command == Cmd::OfflineMessage && record.names.size() >= 2) {
        ++m_arrivals[record.names[1]];
        // Taken: the store lets go of it, as a client's answer says.
        CNetMessage ack = CNetMessage::FullCopy(record);
        ack.command = Cmd::OfflineAck;
        client.Send(ack);
    }
}

void CCrossTraffic::RoundTrip(CBenchClient& client, const std::string& name)
{
    client.Send(Cmd::BlockedList, name, {});
    const auto deadline = StallClock::now() + 30s;
    for (;;) {
        while (auto record = client.Next()) {
            if (record->command == Cmd::BlockedListAnswer)
                return;
            Note(client, *record);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - StallClock::now());
        pollfd p{client.Fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("no answer to " + name + " within 30 s");
        if (!client.ReadAvailable())
            throw std::runtime_error("the server closed the connection of " + name);
    }
}

void CCrossTraffic::TakeStored(CUser& user)
{
    auto client = std::make_unique<CBenchClient>(user.port);
    client->Send(Cmd::Login, user.name, "pw");
    client->Expect(Cmd::LoginAccepted);
    client->Send(Cmd::FriendsList, user.name, {});
    client->Send(Cmd::LoginComplete, user.name, {});
    // Answered once what waited went out.
    RoundTrip(*client, user.name);
    user.client = std::move(client);
}

std::string CCrossTraffic::Finish(std::chrono::milliseconds settle)
{
    m_stop = true;
    m_thread.join();
    if (m_error)
        std::rethrow_exception(m_error);
    // Until every message was answered and nothing came for a while: what
    // was stored during an outage may still be on its way to its recipient.
    const auto deadline = StallClock::now() + settle;
    const auto busy = [&] { return !AllAnswered() || StallClock::now() - m_lastRecord < 2s; };
    while (busy() && StallClock::now() < deadline && (m_users[0].client || m_users[1].client))
        Take(std::min(deadline, StallClock::now() + 100ms));
    // A new login ends the old session: what that one was sent, and the
    // answers it gave ("ON"), come first.
    for (CUser& user : m_users)
        if (user.client)
            RoundTrip(*user.client, user.name);
    for (CUser& user : m_users)
        TakeStored(user);

    long delivered = 0, stored = 0, refused = 0, unanswered = 0, lost = 0, twice = 0;
    for (const std::string& id : m_ids) {
        const auto answer = m_answers.find(id);
        const auto arrived = m_arrivals.find(id);
        const int arrivals = arrived == m_arrivals.end() ? 0 : arrived->second;
        if (answer == m_answers.end())
            ++unanswered;
        else if (answer->second == "delivered")
            ++delivered;
        else if (answer->second == "stored")
            ++stored;
        else
            ++refused;
        // Said to be kept, or not said at all, and never there.
        if (arrivals == 0 && (answer == m_answers.end() || answer->second != "F"))
            ++lost;
        if (arrivals > 1)
            ++twice;
    }
    return CountOf(static_cast<long>(m_ids.size())) + " sent: " + CountOf(delivered) + " delivered, " +
           CountOf(stored) + " stored, " + CountOf(refused) + " refused, " + CountOf(unanswered) +
           " unanswered; " + CountOf(lost) + " lost, " + CountOf(twice) + " delivered twice";
}
