// The messages the server kept while the user was away: held in memory in
// arrival order for the length of a login, shown in the offline messages
// window. The dispatcher stores them ("O") and asks for the window ("OL").
// Each is acknowledged ("ON") only when the user deletes it; the server keeps
// the others and delivers them again at the next login.

#include "palaverdoc.h"

#include <algorithm>

namespace {

// What tells a stored message from another across logins: its stored id,
// or without receipts its sender, time and text.
std::string OfflineKey(const CNetMessage& msg)
{
    if (!msg.names.empty())
        return msg.names.front();
    return msg.sender + '\n' + std::to_string(msg.time) + '\n' + msg.text;
}

} // namespace

void CPalaverDoc::ShowOfflineMessages()
{
    for (const std::unique_ptr<CNetMessage>& msg : m_offlineMessages)
        m_shownOffline.insert(OfflineKey(*msg));
    emit OfflineMessagesWanted();
}

bool CPalaverDoc::HasUnshownOfflineMessages() const
{
    return std::any_of(m_offlineMessages.begin(), m_offlineMessages.end(),
                       [this](const std::unique_ptr<CNetMessage>& msg) {
                           return m_shownOffline.count(OfflineKey(*msg)) == 0;
                       });
}

void CPalaverDoc::ClearOfflineMessages()
{
    // An open window's rows stand for positions in this store: left open,
    // its Delete would remove the next login's messages. It closes with the
    // store it shows.
    emit OfflineMessagesCleared();
    // Not acknowledged: the server sends these again at the next login.
    m_offlineMessages.clear();
    m_offlineAcks.clear();
}

void CPalaverDoc::RemoveOfflineMessage(std::size_t position)
{
    if (position >= m_offlineMessages.size())
        return;
    const auto offset = static_cast<std::ptrdiff_t>(position);
    m_offlineMessages.erase(m_offlineMessages.begin() + offset);
    // Deleted by the user: now the server may forget it. Should the record
    // not leave, the message comes back at the next login, nothing is lost.
    const CNetMessage ack = std::move(m_offlineAcks[position]);
    m_offlineAcks.erase(m_offlineAcks.begin() + offset);
    Send(ack);
}
