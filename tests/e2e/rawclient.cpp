#include "rawclient.h"

#include "commands.h"
#include "waits.h"
#include "wire.h"

#include <QHostAddress>

CRawClient::CRawClient(uint16_t port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    m_socket.waitForConnected(5000);
}

bool CRawClient::Send(const CNetMessage& msg)
{
    const std::string bytes = EncodeRecord(msg);
    if (m_socket.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()))
        return false;
    return m_socket.flush() || m_socket.bytesToWrite() == 0;
}

bool CRawClient::Send(const char* command, std::string sender, std::string recipient, std::string text)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    msg.text = std::move(text);
    return Send(msg);
}

void CRawClient::Pull()
{
    const QByteArray bytes = m_socket.readAll();
    m_stream.Append(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    for (CNetMessage msg; m_stream.Next(msg) == DecodeStatus::Complete; msg = CNetMessage())
        m_records.push_back(std::move(msg));
}

std::optional<CNetMessage> CRawClient::Expect(const std::string& command, std::chrono::milliseconds timeout)
{
    std::optional<CNetMessage> found;
    WaitUntil(
        [&] {
            Pull();
            while (!m_records.empty()) {
                CNetMessage msg = std::move(m_records.front());
                m_records.pop_front();
                if (msg.command == command) {
                    found = std::move(msg);
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

std::optional<std::vector<CNetMessage>> CRawClient::Before(const std::string& command,
                                                           std::chrono::milliseconds timeout)
{
    std::vector<CNetMessage> before;
    const bool found = WaitUntil(
        [&] {
            Pull();
            while (!m_records.empty()) {
                CNetMessage msg = std::move(m_records.front());
                m_records.pop_front();
                if (msg.command == command)
                    return true;
                before.push_back(std::move(msg));
            }
            return false;
        },
        timeout);
    if (!found)
        return std::nullopt;
    return before;
}

bool CRawClient::Register(const std::string& name, const std::string& password)
{
    return Send(Cmd::Register, name, password) && Expect(Cmd::Registered).has_value();
}

bool CRawClient::Login(const std::string& name, const std::string& password)
{
    if (!Send(Cmd::Login, name, password) || !Expect(Cmd::LoginAccepted))
        return false;
    return Send(Cmd::FriendsList, name) && Expect(Cmd::FriendsListAnswer) && Send(Cmd::LoginComplete, name);
}

void CRawClient::Logoff(const std::string& name)
{
    Send(Cmd::Logoff, name, name);
    WaitUntil([&] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, std::chrono::seconds(5));
}
