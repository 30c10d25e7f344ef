// The messages the server kept while the user was away: held in memory in
// arrival order for the length of a login, shown in the offline messages
// window. The dispatcher stores them ("O") and asks for the window ("OL").
// Each is acknowledged ("ON") only when the user deletes it; the server keeps
// the others and delivers them again at the next login.

#include "palaverdoc.h"

void CPalaverDoc::ShowOfflineMessages()
{
    emit OfflineMessagesWanted();
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
