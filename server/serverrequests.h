#pragma once

// The part of server.h that hands store requests to the store's lanes and
// their results back to the loop; included at its end.

#include "serverlog.h"

#include <exception>
#include <string>
#include <utility>

template <typename Work, typename Done, typename Failed>
void CServer::Request(std::size_t key, bool group, Work work, Done done, Failed failed)
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
void CServer::Query(CConnection& c, Work work, Done done, Failed failed)
{
    c.session->Hold();
    Request(
        KeyOf(c), false, std::move(work),
        [this, weak = CWeakSession(c.session), done = std::move(done)](auto result) mutable {
            CConnection* found = Find(weak);
            if (!found)
                return;
            const std::shared_ptr<CClientLink> session = found->session;
            try {
                done(*found, std::move(result));
            } catch (const std::exception& error) {
                ServerLog("error while answering " + session->Peer() + ": " + error.what() + "; closing");
                session->Close();
            }
            session->Resume();
        },
        [this, weak = CWeakSession(c.session), failed = std::move(failed)](const std::string& reason) mutable {
            StoreFailed(weak, reason);
            failed(reason);
        });
}

template <typename Work, typename Done> void CServer::Query(CConnection& c, Work work, Done done)
{
    Query(c, std::move(work), std::move(done), [](const std::string&) {});
}

template <typename Work, typename Done> void CServer::Write(CConnection& c, Work work, Done done)
{
    Request(
        KeyOf(c), true, std::move(work),
        [this, weak = CWeakSession(c.session), done = std::move(done)](auto result) mutable {
            if (CConnection* found = Find(weak))
                done(*found, std::move(result));
        },
        [this, weak = CWeakSession(c.session)](const std::string& reason) { StoreFailed(weak, reason); });
}
