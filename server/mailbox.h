#pragma once

#include "connection.h"
#include "serveroptions.h"
#include "uniquefunction.h"
#include "waitingbytes.h"

#include <asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class CPresence;
class CServerStats;
class CStoreRequests;
struct CStoredMessage;

// Offline messages: keeping them within the quotas of their recipient, their
// sender and the whole store, telling their recipient of them wherever it is
// logged in, and reading them out a page at a time as its client takes them.
class CMailbox
{
public:
    // What became of a message handed to the store: kept (or kept already,
    // for a resend), or refused over the recipient's quota, or over the
    // sender's or the whole store's.
    enum class CKeptAs {
        Kept,
        RecipientFull,
        SenderFull,
    };
    using CKept = CUniqueFunction<void(CKeptAs)>;
    using CFailed = CUniqueFunction<void(const std::string& reason)>;

    CMailbox(asio::io_context& io, const CServerLimits& limits, CServerStats& stats, CStoreRequests& store,
             CConnections& connections, CPresence& presence);
    CMailbox(const CMailbox&) = delete;
    CMailbox& operator=(const CMailbox&) = delete;

    // Keeps `msg` (an "SM") as an offline message stamped with the current
    // time, in the pending group of the lane `key`. A resend of a message
    // kept already is not kept again, and counts as kept.
    void Store(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed);
    // Notes that a message with `id` was committed for `recipient`, who then
    // hears of it: here when logged in here, else through the cluster.
    void StoredFor(const std::string& recipient, int64_t id);
    // Another node committed messages for `user`, with ids from `fromId` on.
    void StoredElsewhere(const std::string& user, int64_t fromId);
    // What this node counted of the messages `user` has waiting is read
    // again when next needed: the user read or deleted some, or is gone.
    void Forget(const std::string& user) { m_mailUsage.erase(user); }

    // "SLO": what waited for the user of `c` goes out, messages first.
    void LoginComplete(CConnection& c);
    // "ON": the user of `c` has one of its messages.
    void OfflineAck(CConnection& c, CNetMessage& msg);
    // The client of `c` took the page of its backlog it was given.
    void BacklogTaken(CConnection& c);

    // The failure that tells a sender that a message was refused `why`.
    static CNetMessage QuotaFailure(const std::string& recipient, CKeptAs why = CKeptAs::RecipientFull);

private:
    struct CKeepJob;
    struct CStoreResult;

    // The quotas as far as this node knows them, counted for a new message.
    CKeepJob Count(CNetMessage& msg);
    static CStoreResult Keep(CStore& store, const CKeepJob& job);
    // The store's answer to a Count corrects what was counted.
    void Counted(const std::string& recipient, bool refused, std::size_t bytes, uint64_t generation,
                 const CStoreResult& result);
    // Tells the recipients' nodes of offline messages committed for them.
    void FlushStoredNotices();

    // The offline messages of the connection's user stored from `fromId` on
    // and not yet sent in this login, as "O" records followed by "OL", sent
    // behind everything else; reads again while notices come meanwhile.
    void Fetch(CConnection& c, int64_t fromId);
    // One page of such a read, while `fetching` is set.
    void ReadPage(CConnection& c, int64_t fromId);
    // Sends a page as a backlog; `next`: where the next one starts, if any.
    void SendPage(CConnection& c, std::vector<CNetMessage> records, std::optional<int64_t> next);
    // The ids of the stored copies of messages the login already got live
    // go into `copies`, to be deleted. `last`: the last page of a read,
    // which "OL" ends.
    std::vector<CNetMessage> MailboxRecords(CLogin& login, std::vector<CStoredMessage> messages,
                                            std::vector<int64_t>& copies, bool last);
    void DeleteStoredCopies(const std::string& user, std::vector<int64_t> copies);

    asio::io_context& m_io;
    const CServerLimits& m_limits;
    CServerStats& m_stats;
    CStoreRequests& m_store;
    CConnections& m_connections;
    CPresence& m_presence;
    // Recipients of offline messages committed since the last flush, with
    // the least id of them; their nodes hear of it once per turn.
    std::unordered_map<std::string, int64_t> m_storedNotices;
    bool m_noticesPosted = false;
    // Offline-message usage of recipients, kept from the first store for
    // them until they read or delete their messages (then read again). The
    // first store reads what the store held before; until that read is
    // back, only what this node stored meanwhile is known.
    // Until the first read is back, the stores behind it on the same lane
    // learn its result through the probe, so a burst to a new recipient
    // still keeps to the quota.
    struct CUsageProbe
    {
        CMessageUsage before;
        std::atomic<bool> read{false};
    };
    struct CMailUsage
    {
        CMessageUsage usage;
        bool known = false;
        uint64_t generation = 0; // which entry a store's result belongs to
        std::shared_ptr<CUsageProbe> probe;
    };
    std::unordered_map<std::string, CMailUsage> m_mailUsage;
    // What senders, and all of them, have waiting in the store.
    std::unordered_map<std::string, std::shared_ptr<CWaitingBytes>> m_senderBytes;
    std::shared_ptr<CWaitingBytes> m_storeBytes;
    uint64_t m_usageGeneration = 0;
};
