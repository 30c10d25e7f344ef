#pragma once

#include "serverstats.h"
#include "uniquefunction.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CStore;

// Runs store requests beside the server's loop, so that a slow disk, a busy
// database or a cut link never holds up routing, presence or anyone else's
// answers.
//
// Each lane is one thread with a store of its own (one database connection):
// one lane for SQLite, a few for PostgreSQL. A request names a key; requests
// with one key go to one lane and run there in the order they were made, so
// one connection's requests keep their order.
//
// Group requests (offline messages stored or deleted outside a transaction
// scope, see CStore) join the lane's pending group. A lane commits its group
// when it runs out of work, before it runs any other request, and at the
// latest once the group is kGroupAge old, and only then hands the group's
// results back: nothing that depends on a write is answered before its
// commit, and one commit covers whatever arrived meanwhile.
//
// Results come back to the loop as continuations, posted in the order the
// lane finished them. A request not finished within the time-out fails on the
// loop with a store error: it is skipped when the lane reaches it, and the
// store is interrupted when the request is running. A lane that fails a
// request in any way goes on with the next one.
class CStoreExecutor
{
public:
    using Clock = std::chrono::steady_clock;
    // Runs on the lane; returns what the loop runs with the request's result.
    using Work = CUniqueFunction<CUniqueFunction<void()>(CStore&)>;
    // Runs on the loop when the request failed, with the reason.
    using Failed = CUniqueFunction<void(const std::string&)>;

    static constexpr auto kGroupAge = std::chrono::milliseconds(20);

    // One lane per store; there must be at least one.
    CStoreExecutor(asio::io_context& io, std::vector<std::unique_ptr<CStore>> stores,
                   std::chrono::milliseconds timeout);
    ~CStoreExecutor();
    CStoreExecutor(const CStoreExecutor&) = delete;
    CStoreExecutor& operator=(const CStoreExecutor&) = delete;

    std::chrono::milliseconds Timeout() const { return m_timeout; }
    // The first lane's store, for the server to read before the loop runs.
    CStore& FirstStore();

    // Call these on the loop thread only.
    void Run(std::size_t key, Work work, Failed failed)
    {
        Submit(key, false, std::move(work), std::move(failed));
    }
    void RunInGroup(std::size_t key, Work work, Failed failed)
    {
        Submit(key, true, std::move(work), std::move(failed));
    }

    // How long the lanes took to commit their pending groups.
    const CCommitTimes& CommitTimes() const { return m_commitTimes; }

    // Lets every lane finish what it was given, commits, and ends the lanes.
    // Results not yet run on the loop are dropped. Also done on destruction.
    void Stop();

private:
    struct CRequest;
    struct CLane;
    using Continuations = std::vector<CUniqueFunction<void()>>;

    struct CServing;

    void Submit(std::size_t key, bool group, Work work, Failed failed);
    // A lane's thread: runs its requests until it is stopped.
    void Serve(CLane& lane);
    void RunRequest(CLane& lane, CServing& serving, std::shared_ptr<CRequest>& request);
    // Commits the lane's pending group, and readies the results of its
    // requests for the loop.
    void CommitGroup(CLane& lane, CServing& serving);
    void Post(Continuations ready);
    // The loop's side of a request that ended: its continuation, or its
    // failure, unless the time-out answered it already.
    CUniqueFunction<void()> Finish(std::shared_ptr<CRequest> request, CUniqueFunction<void()> done);
    CUniqueFunction<void()> Fail(std::shared_ptr<CRequest> request, std::string reason);
    void Answered(CLane& lane);
    void ArmTimer();
    void OnTimer();

    asio::io_context& m_io;
    std::chrono::milliseconds m_timeout;
    std::vector<std::unique_ptr<CLane>> m_lanes;
    asio::steady_timer m_timer;
    bool m_timerArmed = false;
    bool m_stopped = false;
    CCommitTimes m_commitTimes;
};
