#include "offlinewriter.h"

#include "commands.h"
#include "stallclients.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

COfflineWriter::COfflineWriter(uint16_t port, std::string name, std::vector<std::string> sinks, int window,
                               int count)
    : m_client(LogIn(port, name)), m_name(std::move(name)), m_sinks(std::move(sinks)), m_window(window),
      m_count(count)
{
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
    Wait();
}

void COfflineWriter::Wait()
{
    if (m_thread.joinable())
        m_thread.join();
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void COfflineWriter::Write()
{
    const auto start = StallClock::now();
    long sent = 0;
    while (!m_stop && (m_count == 0 || sent < m_count)) {
        const int burst =
            m_count == 0 ? m_window : static_cast<int>(std::min<long>(m_window, m_count - sent));
        for (int i = 0; i < burst; ++i, ++sent) {
            const std::string id = m_name + "-" + std::to_string(sent);
            m_client->Send(StallMessage(m_sinks[static_cast<std::size_t>(sent) % m_sinks.size()], id, id));
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
    m_seconds = SecondsSince(start);
}
