#include "offlinewriter.h"

#include "commands.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

COfflineWriter::COfflineWriter(uint16_t port, std::string name, std::vector<std::string> sinks, int window,
                               int count)
    : m_client(std::make_unique<CBenchClient>(port)), m_name(std::move(name)), m_sinks(std::move(sinks)),
      m_window(window), m_count(count)
{
    m_client->Send(Cmd::Login, m_name, "pw");
    m_client->Expect(Cmd::LoginAccepted);
    m_client->Send(Cmd::FriendsList, m_name, {});
    m_client->Send(Cmd::LoginComplete, m_name, {});
    m_client->Expect(Cmd::FriendsListAnswer);
    m_thread = std::thread([this] {
        try {
            Write();
        } catch (...) {
            m_error = std::current_exception();
        }
    });
}

COfflineWriter::~COfflineWriter()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void COfflineWriter::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void COfflineWriter::Write()
{
    long sent = 0;
    while (!m_stop && (m_count == 0 || sent < m_count)) {
        const int burst =
            m_count == 0 ? m_window : static_cast<int>(std::min<long>(m_window, m_count - sent));
        for (int i = 0; i < burst; ++i, ++sent) {
            CNetMessage m;
            m.command = Cmd::Message;
            m.names.push_back(m_name + "-" + std::to_string(sent));
            m.recipient = m_sinks[static_cast<std::size_t>(sent) % m_sinks.size()];
            m.text = "for later " + std::to_string(sent);
            m_client->Send(m);
        }
        // Each is answered "MA" once stored, or "F" when refused.
        for (int answered = 0;;) {
            while (auto msg = m_client->Next()) {
                if (msg->command == Cmd::MessageAck)
                    ++m_stored;
                else if (msg->command == Cmd::Failure)
                    ++m_refused;
                else
                    continue;
                ++answered;
            }
            if (answered >= burst)
                break;
            pollfd p{m_client->Fd(), POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0)
                throw std::runtime_error(m_name + ": no answer for 30 s");
            if (!m_client->ReadAvailable())
                throw std::runtime_error(m_name + ": the server closed the connection");
        }
    }
}
