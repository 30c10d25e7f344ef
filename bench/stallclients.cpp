#include "stallclients.h"

#include "commands.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

std::string Figure(double value, const char* format)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

CNetMessage StallMessage(const std::string& recipient, const std::string& id, const std::string& text)
{
    CNetMessage m;
    m.command = Cmd::Message;
    if (!id.empty())
        m.names.push_back(id);
    m.recipient = recipient;
    m.text = text;
    return m;
}

double SecondsSince(StallClock::time_point start)
{
    return std::chrono::duration<double>(StallClock::now() - start).count();
}

std::string CountOf(long n)
{
    if (n == 0)
        return "none";
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

void RegisterAll(uint16_t port, const std::vector<std::string>& names)
{
    CBenchClient registrar(port);
    for (const std::string& name : names)
        registrar.Send(Cmd::Register, name, "pw");
    for (std::size_t i = 0; i < names.size(); ++i)
        registrar.Expect(Cmd::Registered);
}

std::string CAnswer::Describe() const
{
    const std::string after = " after " + Figure(seconds, "%.2f s");
    switch (how) {
    case CBenchClient::CWaited::Record:
        return "answered \"" + command + "\"" + after;
    case CBenchClient::CWaited::Closed:
        return "closed" + after + ", unanswered";
    case CBenchClient::CWaited::TimedOut:
        break;
    }
    return "no answer" + after;
}

CAnswer Ask(CBenchClient& client, const CNetMessage& request,
            std::initializer_list<std::string_view> commands, std::chrono::milliseconds timeout)
{
    const auto start = StallClock::now();
    client.Send(request);
    CAnswer answer;
    CNetMessage record;
    answer.how = client.Wait(commands, timeout, &record);
    answer.command = record.command;
    if (record.command == Cmd::MessageAck)
        answer.command += " " + record.text;
    answer.seconds = SecondsSince(start);
    return answer;
}

CTimedLogin::CTimedLogin(uint16_t port, const std::string& name, std::chrono::milliseconds timeout)
    : client(std::make_unique<CBenchClient>(port))
{
    CNetMessage login;
    login.command = Cmd::Login;
    login.sender = name;
    login.recipient = "pw";
    answer = Ask(*client, login, {Cmd::LoginAccepted, Cmd::LoginFailed}, timeout);
    if (answer.command == Cmd::LoginAccepted) {
        client->Send(Cmd::FriendsList, name, {});
        client->Send(Cmd::LoginComplete, name, {});
        client->Expect(Cmd::FriendsListAnswer);
    }
}

std::unique_ptr<CBenchClient> LogIn(uint16_t port, const std::string& name)
{
    CTimedLogin login(port, name, 30s);
    if (login.answer.command != Cmd::LoginAccepted)
        throw std::runtime_error("the login of " + name + ": " + login.answer.Describe());
    return std::move(login.client);
}

void MakeFriends(CBenchClient& a, const std::string& aName, CBenchClient& b, const std::string& bName)
{
    a.Send(Cmd::AddFriend, aName, bName);
    a.Expect(Cmd::FriendRequestSent);
    b.Expect(Cmd::FriendRequest);
    b.Send(Cmd::AcceptAndAdd, bName, aName, {});
    a.Expect(Cmd::NewFriendOnline);
    b.Expect(Cmd::NewFriendOnline);
}

CLiveProbe::CLiveProbe(CBenchClient& first, std::string firstName, CBenchClient& second,
                       std::string secondName, std::chrono::milliseconds pace, int count)
    : m_names{std::move(firstName), std::move(secondName)}
{
    m_thread = std::thread([this, &first, &second, pace, count] {
        try {
            Run(first, second, pace, count);
        } catch (...) {
            m_error = std::current_exception();
        }
    });
}

CLiveProbe::~CLiveProbe()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::vector<double> CLiveProbe::Join()
{
    m_thread.join();
    if (m_error)
        std::rethrow_exception(m_error);
    return m_latencies;
}

void CLiveProbe::Run(CBenchClient& first, CBenchClient& second, std::chrono::milliseconds pace, int count)
{
    CBenchClient* from = &first;
    CBenchClient* to = &second;
    auto next = StallClock::now();
    for (int i = 0; i < count; ++i, std::swap(from, to)) {
        std::this_thread::sleep_until(next);
        const auto sent = StallClock::now();
        next = sent + pace;
        const std::string text = "probe " + std::to_string(i);
        from->Send(StallMessage(to == &second ? m_names[1] : m_names[0], {}, text));
        CNetMessage record;
        const auto how = to->Wait({Cmd::IncomingMessage}, 60s, &record);
        if (how != CBenchClient::CWaited::Record)
            throw std::runtime_error(
                "live message " + std::to_string(i + 1) + " of " + std::to_string(count) +
                (how == CBenchClient::CWaited::Closed ? ": connection closed" : ": not there within 60 s"));
        m_latencies.push_back(std::chrono::duration<double, std::milli>(StallClock::now() - sent).count());
    }
}

std::string DescribeLatencies(std::vector<double> latencies)
{
    if (latencies.empty())
        return "no messages";
    std::sort(latencies.begin(), latencies.end());
    return "slowest of " + std::to_string(latencies.size()) + " " + Figure(latencies.back(), "%.1f ms") +
           ", median " + Figure(latencies[latencies.size() / 2], "%.1f ms");
}
