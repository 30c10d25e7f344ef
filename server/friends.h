#pragma once

#include "connection.h"
#include "serveroptions.h"

#include <string>

class CMailbox;
class CPresence;
class CRouter;
class CStoreRequests;

// Friends and blocks: the friends list, friend requests and their answers,
// and blocks made for good or until logoff. What routing needs of them the
// presence keeps in memory; the rest is read from the store when asked.
class CFriends
{
public:
    CFriends(const CServerLimits& limits, CStoreRequests& store, CConnections& connections,
             CPresence& presence, CMailbox& mailbox, CRouter& router);
    CFriends(const CFriends&) = delete;
    CFriends& operator=(const CFriends&) = delete;

    void FriendsList(CConnection& c);
    void AddFriend(CConnection& c, CNetMessage& msg);
    // "AFA" (`addBack`) and "AFJ".
    void Answer(CConnection& c, CNetMessage& msg, bool addBack);
    void Decline(CConnection& c, CNetMessage& msg);
    void DeleteFriends(CConnection& c, CNetMessage& msg);
    // "BP" (`permanent`) and "BU".
    void Block(CConnection& c, CNetMessage& msg, bool permanent);
    void BlockedList(CConnection& c);
    void Unblock(CConnection& c, CNetMessage& msg);

    // A friend request for `user`, logged in on `c`, passed on by the
    // requester's node.
    void TakeRemoteRequest(const std::string& user, CConnection& c, CNetMessage& msg);

private:
    struct CAnswer;
    struct CAnswered;

    // The answer is committed: whoever it concerns hears of it.
    void Answered(CConnection& c, const CAnswer& answer, CNetMessage& sm, const CAnswered& answered);

    const CServerLimits& m_limits;
    CStoreRequests& m_store;
    CConnections& m_connections;
    CPresence& m_presence;
    CMailbox& m_mailbox;
    CRouter& m_router;
};
