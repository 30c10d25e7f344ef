// Offline messages: what is kept for a user who is away, within the quotas,
// and how it reaches the user once back.

#include "mailbox.h"

#include "cluster.h"
#include "commands.h"
#include "presence.h"
#include "serverrecords.h"
#include "serverstats.h"
#include "store/store.h"
#include "storerequests.h"

#include <asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
#include <unordered_set>

namespace {

// Reading what the whole store holds takes a scan of it: a store at its
// quota reads it again at most this often.
constexpr std::chrono::seconds kStoreRecount(10);

// Offline messages read at once: a page is small against the send queue's
// bound even with texts of the largest size, so that a mailbox of any size
// costs a client that does not read no more than a page.
constexpr std::size_t kMailPage = 8;

// A page of a user's offline messages, and where the next one starts.
struct CMailPage
{
    std::vector<CStoredMessage> messages;
    std::optional<int64_t> next;
};

// What waits for a user at login, read in one request.
struct CWaiting
{
    CMailPage page;
    std::vector<CFriendRequest> requests;
};

// A page of the user's offline messages from `fromId` on; those from users it
// blocks permanently are deleted instead (they join the pending group).
CMailPage ReadMailbox(CStore& store, const std::string& user, const std::unordered_set<std::string>& blocks,
                      int64_t fromId)
{
    CMailPage page;
    std::vector<CStoredMessage> read = store.Messages(user, fromId, kMailPage);
    if (read.size() == kMailPage)
        page.next = read.back().id + 1;
    for (auto& stored : read) {
        if (blocks.count(stored.sender))
            store.DeleteMessage(stored.id, user);
        else
            page.messages.push_back(std::move(stored));
    }
    return page;
}

} // namespace

// One offline message on its way into the store, with what this node knew
// of the quotas when it left.
struct CMailbox::CKeepJob
{
    CStoredMessage stored;
    std::size_t bytes = 0;
    bool first = false;      // the first for its recipient: reads what the store held before
    bool refused = false;    // over the recipient's quota as far as this node knows
    uint64_t generation = 0; // of the recipient's entry in m_mailUsage
    CMessageUsage counted;   // what this node counted for the recipient before it
    std::shared_ptr<CUsageProbe> probe;
    std::shared_ptr<CWaitingBytes> fromSender;
    std::shared_ptr<CWaitingBytes> inStore;
    std::size_t maxCount = 0;
    std::size_t maxBytes = 0;
    std::size_t senderQuota = 0;
    std::size_t storeQuota = 0;
};

// What a message handed to the store became.
struct CMailbox::CStoreResult
{
    bool kept = false;
    bool senderFull = false; // refused over the sender's or the store's quota
    int64_t id = 0;          // 0: refused, or a resend kept already
    // What the store held for the recipient before, when asked.
    std::optional<CMessageUsage> before;
};

CMailbox::CMailbox(asio::io_context& io, const CServerLimits& limits, CServerStats& stats,
                   CStoreRequests& store, CConnections& connections, CPresence& presence)
    : m_io(io), m_limits(limits), m_stats(stats), m_store(store), m_connections(connections),
      m_presence(presence),
      m_storeBytes(std::make_shared<CWaitingBytes>(CUsageOf::All, std::string(), kStoreRecount))
{
}

CNetMessage CMailbox::QuotaFailure(const std::string& recipient, CKeptAs why)
{
    if (why == CKeptAs::SenderFull)
        return MakeRecord(Cmd::Failure, "You have too many messages waiting to be delivered");
    return MakeRecord(Cmd::Failure, "User " + recipient + " cannot receive more offline messages");
}

void CMailbox::Store(std::size_t key, CNetMessage& msg, CKept kept, CFailed failed)
{
    CKeepJob job = Count(msg);
    const std::string recipient = job.stored.recipient;
    const bool refused = job.refused;
    const std::size_t bytes = job.bytes;
    const uint64_t generation = job.generation;
    // A refusal goes the same way as a message kept, so that it is told
    // behind what the sender stored before.
    m_store.Request(
        key, true, [job = std::move(job)](CStore& store) { return Keep(store, job); },
        [this, recipient, refused, bytes, generation, kept = std::move(kept)](CStoreResult result) mutable {
            Counted(recipient, refused, bytes, generation, result);
            kept(result.kept         ? CKeptAs::Kept
                 : result.senderFull ? CKeptAs::SenderFull
                                     : CKeptAs::RecipientFull);
        },
        [this, recipient, failed = std::move(failed)](const std::string& reason) mutable {
            m_mailUsage.erase(recipient); // it counted what was lost
            failed(reason);
        });
}

CMailbox::CKeepJob CMailbox::Count(CNetMessage& msg)
{
    CKeepJob job;
    CStoredMessage& stored = job.stored;
    stored.sender = msg.sender;
    stored.recipient = msg.recipient;
    stored.time = static_cast<int32_t>(std::time(nullptr));
    if (!msg.names.empty())
        stored.clientId = msg.names.front();
    MoveWords(stored, msg);
    job.bytes = stored.text.size() + stored.faceName.size();
    // The quota is checked against what this node knows of the recipient's
    // messages; only the first store for a recipient asks the database.
    const auto [usage, first] = m_mailUsage.try_emplace(stored.recipient);
    if (first) {
        usage->second.generation = ++m_usageGeneration;
        usage->second.probe = std::make_shared<CUsageProbe>();
    }
    job.first = first;
    job.generation = usage->second.generation;
    job.counted = usage->second.usage; // before this message
    job.probe = usage->second.probe;
    job.refused = usage->second.known && (job.counted.count >= m_limits.maxOfflineMessages ||
                                          job.counted.bytes + job.bytes > m_limits.maxOfflineBytes);
    if (!job.refused) {
        ++usage->second.usage.count;
        usage->second.usage.bytes += job.bytes;
    }
    auto& fromSender = m_senderBytes[stored.sender];
    if (!fromSender)
        fromSender =
            std::make_shared<CWaitingBytes>(CUsageOf::Sender, stored.sender, std::chrono::milliseconds(0));
    job.fromSender = fromSender;
    job.inStore = m_storeBytes;
    job.maxCount = m_limits.maxOfflineMessages;
    job.maxBytes = m_limits.maxOfflineBytes;
    job.senderQuota = m_limits.senderQuota;
    job.storeQuota = m_limits.storeQuota;
    return job;
}

CMailbox::CStoreResult CMailbox::Keep(CStore& store, const CKeepJob& job)
{
    CStoreResult result;
    if (job.refused)
        return result;
    if (job.first) {
        result.before = store.MessageUsage(job.stored.recipient);
        job.probe->before = *result.before;
        job.probe->read.store(true, std::memory_order_release);
    }
    if (job.probe && job.probe->read.load(std::memory_order_acquire)) {
        const CMessageUsage& before = job.probe->before;
        if (before.count + job.counted.count >= job.maxCount ||
            before.bytes + job.counted.bytes + job.bytes > job.maxBytes)
            return result;
    }
    if (!job.fromSender->Take(store, job.bytes, job.senderQuota) ||
        !job.inStore->Take(store, job.bytes, job.storeQuota)) {
        result.senderFull = true;
        return result;
    }
    result.kept = true;
    result.id = store.StoreMessage(job.stored);
    return result;
}

void CMailbox::Counted(const std::string& recipient, bool refused, std::size_t bytes, uint64_t generation,
                       const CStoreResult& result)
{
    const auto usage = m_mailUsage.find(recipient);
    if (usage != m_mailUsage.end() && usage->second.generation == generation) {
        CMessageUsage& counted = usage->second.usage;
        if (result.before) {
            counted.count += result.before->count;
            counted.bytes += result.before->bytes;
            usage->second.known = true;
            usage->second.probe.reset();
        }
        if (!result.kept && !refused) {
            --counted.count;
            counted.bytes -= bytes;
        }
    }
    if (result.id > 0) {
        ++m_stats.stored;
        StoredFor(recipient, result.id);
    }
}

void CMailbox::StoredFor(const std::string& recipient, int64_t id)
{
    // A recipient who logged in here after the message was routed: the read
    // at login may have come before the commit.
    if (CConnection* target = m_presence.OnlineSession(recipient)) {
        Fetch(*target, id);
        return;
    }
    if (!m_presence.Cluster())
        return;
    const auto [it, added] = m_storedNotices.try_emplace(recipient, id);
    if (!added)
        it->second = std::min(it->second, id);
    if (m_noticesPosted)
        return;
    m_noticesPosted = true;
    asio::post(m_io, [this] {
        m_noticesPosted = false;
        FlushStoredNotices();
    });
}

void CMailbox::FlushStoredNotices()
{
    auto notices = std::move(m_storedNotices);
    m_storedNotices.clear();
    for (const auto& [user, id] : notices) {
        // Logged in here since: read now.
        if (CConnection* c = m_presence.OnlineSession(user))
            Fetch(*c, id);
        else if (CCluster* cluster = m_presence.Cluster())
            cluster->NotifyStored(user, id);
    }
}

void CMailbox::StoredElsewhere(const std::string& user, int64_t fromId)
{
    m_mailUsage.erase(user);
    if (CConnection* c = m_presence.OnlineSession(user))
        Fetch(*c, fromId);
}

void CMailbox::LoginComplete(CConnection& c)
{
    // Served once per login: the client sends it after the first list only.
    if (c.login.complete)
        return;
    c.login.complete = true;
    c.login.fetchFrom.reset(); // this read takes in whatever was noticed
    // Notices that come while it runs, or while its later pages go out, only
    // say where to read again after the last page.
    c.login.fetching = true;
    const std::string user = c.login.user;
    m_mailUsage.erase(user); // blocked senders' messages go below
    // The blocks are those in memory, copied for the store's thread.
    m_store.Query(
        c,
        [user, blocks = m_presence.Routes().BlockedBy(user)](CStore& store) {
            CWaiting waiting;
            waiting.page = ReadMailbox(store, user, blocks, 0);
            for (auto& request : store.FriendRequests(user)) {
                if (blocks.count(request.requester))
                    store.RemoveFriendRequest(request.requester, user);
                else
                    waiting.requests.push_back(std::move(request));
            }
            return waiting;
        },
        [this, user](CConnection& c, CWaiting waiting) {
            // Everything that waited goes out as the client reads it, in this
            // order, however much it is; the session encodes it batch by batch.
            std::vector<int64_t> copies;
            const std::optional<int64_t> next = waiting.page.next;
            c.login.pageSent = false;
            std::vector<CNetMessage> backlog =
                MailboxRecords(c.login, std::move(waiting.page.messages), copies, !next);
            DeleteStoredCopies(user, std::move(copies));
            for (auto& request : waiting.requests) {
                // One that came live while this read ran went out already.
                if (!c.login.deliveredRequests.insert(request.requester).second)
                    continue;
                c.login.afterMail.push_back(FriendRequestRecord(request.requester, user, request.text));
            }
            SendPage(c, std::move(backlog), next);
        });
}

std::vector<CNetMessage> CMailbox::MailboxRecords(CLogin& login, std::vector<CStoredMessage> messages,
                                                  std::vector<int64_t>& copies, bool last)
{
    std::vector<CNetMessage> records;
    for (auto& stored : messages) {
        // Messages committed meanwhile may be read twice, by the login's read
        // and by one after their notice; each goes out once per login.
        if (!login.deliveredIds.insert(stored.id).second)
            continue;
        // A message the login got live already: its stored copy goes.
        if (!stored.clientId.empty() && login.received.Add(stored.sender, stored.clientId, kReceiptStored)) {
            copies.push_back(stored.id);
            continue;
        }
        CNetMessage o = MakeRecord(Cmd::OfflineMessage, std::move(stored.sender), login.user);
        o.time = stored.time;
        MoveWords(o, stored);
        o.names.push_back(std::to_string(stored.id));
        if (!stored.clientId.empty())
            o.names.push_back(std::move(stored.clientId));
        records.push_back(std::move(o));
    }
    if (last && (!records.empty() || login.pageSent))
        records.push_back(MakeRecord(Cmd::OfflineEnd));
    login.pageSent = !last && (login.pageSent || !records.empty());
    return records;
}

void CMailbox::DeleteStoredCopies(const std::string& user, std::vector<int64_t> copies)
{
    if (copies.empty())
        return;
    m_store.Request(
        KeyOf(user), true,
        [user, copies = std::move(copies)](CStore& store) {
            for (const int64_t id : copies)
                store.DeleteMessage(id, user);
            return true;
        },
        [this, user](bool) { m_mailUsage.erase(user); },
        [user](const std::string& reason) {
            ServerLog("store error while deleting copies of messages " + user + " had: " + reason);
        });
}

void CMailbox::Fetch(CConnection& c, int64_t fromId)
{
    // Before "SLO" the session reads everything at that step.
    if (!c.login.complete)
        return;
    // While a read runs, notices only lower where the next one starts.
    if (c.login.fetching) {
        c.login.fetchFrom = std::min(c.login.fetchFrom.value_or(fromId), fromId);
        return;
    }
    c.login.fetching = true;
    c.login.pageSent = false;
    ReadPage(c, fromId);
}

void CMailbox::ReadPage(CConnection& c, int64_t fromId)
{
    const std::string user = c.login.user;
    const CWeakLink weak = c.link;
    m_store.Request(
        KeyOf(user), false,
        [user, fromId, blocks = m_presence.Routes().BlockedBy(user)](CStore& store) {
            return ReadMailbox(store, user, blocks, fromId);
        },
        [this, user, weak](CMailPage page) {
            CConnection* c = m_connections.Find(weak);
            if (!c || c->login.user != user)
                return;
            std::vector<int64_t> copies;
            SendPage(*c, MailboxRecords(c->login, std::move(page.messages), copies, !page.next), page.next);
            DeleteStoredCopies(user, std::move(copies));
        },
        [this, user, weak](const std::string& reason) {
            ServerLog("store error while reading the offline messages of " + user + ": " + reason);
            if (CConnection* c = m_connections.Find(weak); c && c->login.user == user) {
                // They come at the next notice or login.
                c->login.fetching = false;
                c->login.fetchFrom.reset();
                c->login.nextPage.reset();
            }
        });
}

void CMailbox::SendPage(CConnection& c, std::vector<CNetMessage> records, std::optional<int64_t> next)
{
    if (next && records.empty()) {
        ReadPage(c, *next); // nothing of this page was for the client
        return;
    }
    c.login.nextPage = next;
    if (!next) {
        for (auto& record : c.login.afterMail)
            records.push_back(std::move(record));
        c.login.afterMail.clear();
    }
    c.link->SendBacklog(std::move(records), next.has_value());
    if (next || !c.login.fetching)
        return;
    c.login.fetching = false;
    if (const auto from = c.login.fetchFrom) {
        c.login.fetchFrom.reset();
        Fetch(c, *from);
    }
}

void CMailbox::BacklogTaken(CConnection& c)
{
    if (!c.login.nextPage)
        return;
    const int64_t from = *c.login.nextPage;
    c.login.nextPage.reset();
    ReadPage(c, from);
}

void CMailbox::OfflineAck(CConnection& c, CNetMessage& msg)
{
    // "ON" echoes the "O" whole; names[0] is the stored message's id. Only
    // the acknowledging user's own messages can be deleted.
    if (msg.names.empty())
        return;
    const std::string& text = msg.names.front();
    int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0)
        return;
    const std::string user = c.login.user;
    m_store.Write(
        c, [id, user](CStore& store) { return store.DeleteMessage(id, user); },
        [this, user](CConnection&, bool deleted) {
            if (deleted)
                m_mailUsage.erase(user); // read again when next needed
        });
}
