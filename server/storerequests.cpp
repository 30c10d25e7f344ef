#include "storerequests.h"

#include <functional>

std::size_t KeyOf(const std::string& user)
{
    return std::hash<std::string>{}(user);
}

std::size_t KeyOf(const CConnection& c)
{
    // Before login a connection has only itself; after, its requests share
    // a lane with everything else done for its user.
    if (c.login.user.empty())
        return std::hash<const void*>{}(c.link.get());
    return KeyOf(c.login.user);
}

void CStoreRequests::StoreFailed(const CWeakLink& link, const std::string& reason)
{
    if (CConnection* c = m_connections.Find(link)) {
        ServerLog("store error while serving " + c->link->Peer() + ": " + reason + "; closing");
        c->link->Close();
    }
}
