#pragma once

#include "connection.h"
#include "serverlog.h"
#include "storeexecutor.h"

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <utility>

// The lane of a user's requests, or of a connection not logged in.
std::size_t KeyOf(const std::string& user);
std::size_t KeyOf(const CConnection& c);

// Hands the services' store requests to the store's lanes, and their results
// back to the loop.
//
// Query runs `work(CStore&)` on the lane of the connection's user, holding
// the connection, then `done(CConnection&, result)` on the loop, unless the
// connection closed meanwhile; Write is the same for a write that joins the
// pending group, without holding. A store error or time-out closes the
// connection (and then calls `failed(reason)`, when given). Request is the
// plain form, for requests of no connection: `done(result)` or
// `failed(reason)` run on the loop; `group`: the work joins the pending
// group.
class CStoreRequests
{
public:
    CStoreRequests(CStoreExecutor& stores, CConnections& connections)
        : m_stores(stores), m_connections(connections)
    {
    }

    template <typename Work, typename Done> void Query(CConnection& c, Work work, Done done);
    template <typename Work, typename Done, typename Failed>
    void Query(CConnection& c, Work work, Done done, Failed failed);
    template <typename Work, typename Done> void Write(CConnection& c, Work work, Done done);
    template <typename Work, typename Done, typename Failed>
    void Request(std::size_t key, bool group, Work work, Done done, Failed failed);

    // Closes the connection of `link`, if still open, for a store error.
    void StoreFailed(const CWeakLink& link, const std::string& reason);

    const CCommitTimes& CommitTimes() const { return m_stores.CommitTimes(); }

private:
    CStoreExecutor& m_stores;
    CConnections& m_connections;
};

template <typename Work, typename Done, typename Failed>
void CStoreRequests::Request(std::size_t key, bool group, Work work, Done done, Failed failed)
{
    // `work` runs on the lane and makes the continuation there; `done`
    // travels with it, moved, never copied, and runs on the loop.
    CStoreExecutor::Work run = [work = std::move(work),
                                done = std::move(done)](CStore& store) mutable -> CUniqueFunction<void()> {
        auto result = work(store);
        return [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); };
    };
    if (group)
        m_stores.RunInGroup(key, std::move(run), std::move(failed));
    else
        m_stores.Run(key, std::move(run), std::move(failed));
}

template <typename Work, typename Done, typename Failed>
void CStoreRequests::Query(CConnection& c, Work work, Done done, Failed failed)
{
    c.link->Hold();
    Request(
        KeyOf(c), false, std::move(work),
        [this, weak = CWeakLink(c.link), done = std::move(done)](auto result) mutable {
            CConnection* found = m_connections.Find(weak);
            if (!found)
                return;
            const std::shared_ptr<CClientLink> link = found->link;
            try {
                done(*found, std::move(result));
            } catch (const std::exception& error) {
                ServerLog("error while answering " + link->Peer() + ": " + error.what() + "; closing");
                link->Close();
            }
            link->Resume();
        },
        [this, weak = CWeakLink(c.link), failed = std::move(failed)](const std::string& reason) mutable {
            StoreFailed(weak, reason);
            failed(reason);
        });
}

template <typename Work, typename Done> void CStoreRequests::Query(CConnection& c, Work work, Done done)
{
    Query(c, std::move(work), std::move(done), [](const std::string&) {});
}

template <typename Work, typename Done> void CStoreRequests::Write(CConnection& c, Work work, Done done)
{
    Request(
        KeyOf(c), true, std::move(work),
        [this, weak = CWeakLink(c.link), done = std::move(done)](auto result) mutable {
            if (CConnection* found = m_connections.Find(weak))
                done(*found, std::move(result));
        },
        [this, weak = CWeakLink(c.link)](const std::string& reason) { StoreFailed(weak, reason); });
}
