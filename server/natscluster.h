#pragma once

#include "cluster.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CNatsLink;

// The cluster over NATS (CNatsLink, on the server's loop). Subjects:
//   murmurly.all              every node: presence of users, heartbeats,
//                             routing-table writes
//   murmurly.node.ID          one node: the directory of a node that asked,
//                             and the records for its users (natsrecords.cpp)
//   murmurly.reply.ID.SEQ     one node: "no responders" for a record it sent
//   murmurly.reply.ID.nSEQ    one node: "no responders" for a batch of records
//   murmurly.reply.ID.batch   one node: what became of the records it sent,
//                             the answers of one turn of the taker together
//   murmurly.reply.ID.kSEQ    one node: the answer to a login's kick
//   murmurly.reply.ID.pSEQ    one node: "no responders" to a login's probe
//   murmurly.user.NAME        the node where NAME is logged in
//   murmurly.probe            nobody: its "no responders" proves that the
//                             NATS server handled what the node sent before
// A message for a user goes to the node that serves the user, with the other
// messages of the turn for that node's users, as a request; that node
// acknowledges each, and when nobody serves the node's subject (it is gone)
// the NATS server answers "no responders" at once, so the sender keeps them
// as offline messages itself; so it does when no answer comes within
// kNodeTimeout (the node died with them). A node that sends no heartbeat for kNodeTimeout is taken
// for dead and its users for offline.
//
// Everything happens on the server's loop: what a turn publishes goes out in
// one write at its end, and what the NATS server sends is handled in the
// order it was sent, across subjects.
//
// A login first subscribes to the user's subject, then kicks the user's
// sessions elsewhere with a request to that subject carrying the login's
// time, then sends a probe behind both; it is ready once the kick is
// answered and the probe has come back, or after kLoginWait. The NATS server
// handles what each node sends in order, so of two logins racing on two
// nodes, the kick sent later finds the other's subscription; the node that
// gets it compares the times, and the older login ends.
class CNatsCluster : public CCluster
{
public:
    static constexpr auto kHeartbeat = std::chrono::seconds(1);
    static constexpr auto kNodeTimeout = std::chrono::seconds(5);
    static constexpr auto kLoginWait = std::chrono::seconds(2);

    // Connects to `url` (nats://HOST:PORT) and announces this node. Throws
    // std::runtime_error with the reason when it cannot.
    CNatsCluster(asio::io_context& io, const std::string& url, CClusterListener& listener);
    ~CNatsCluster() override;
    CNatsCluster(const CNatsCluster&) = delete;
    CNatsCluster& operator=(const CNatsCluster&) = delete;

    const std::string& NodeId() const { return m_node; }

    void BeginLogin(const std::string& user, std::function<void(CLoginOutcome)> done) override;
    void UserOnline(const std::string& user, const std::vector<std::string>& sessionBlocks) override;
    void UserOffline(const std::string& user) override;
    const std::vector<std::string>* RemoteSession(const std::string& user) const override;
    void SendToUser(const std::string& user, const CNetMessage& msg, bool mustArrive) override;
    void NotifyStored(const std::string& user, int64_t fromId) override;
    void AccountCreated(const std::string& name) override;
    void BlockChanged(const std::string& blocker, const std::string& blocked, bool added) override;
    void AccountChanged(const std::string& name, CAccountChange change,
                        const std::vector<std::string>& friendOf) override;
    void Leave() override;

private:
    using Clock = std::chrono::steady_clock;

    struct CRemoteUser
    {
        std::string node;
        std::vector<std::string> blocks;
    };
    // A message on its way to another node, kept as it went (encoded).
    struct CInFlight
    {
        Clock::time_point sent;
        std::string record;
        uint64_t batch = 0; // the batch it went in, if any
        bool hasId = false; // its sender waits for a receipt

        CNetMessage Message() const;
    };
    // The records for one node's users, until the end of the turn.
    struct CBatch
    {
        std::string node;
        std::string payload;
        std::vector<uint64_t> seqs;
    };
    // A login of a user here, from its time (nanoseconds of the system
    // clock, compared between nodes) and when it began (compared here only).
    struct CLoginStamp
    {
        int64_t stamp = 0;
        Clock::time_point began;
    };
    struct CLogin
    {
        std::string user;
        CLoginStamp stamp;
        bool kickAnswered = false;
        bool subscribed = false;
        CLoginOutcome outcome = CLoginOutcome::Alone;
        std::function<void(CLoginOutcome)> done;
        std::unique_ptr<asio::steady_timer> timer;
    };

    void OnMessage(std::string_view subject, std::string_view reply, std::string_view data,
                   bool noResponders);
    void OnBroadcast(std::string_view data);
    void OnDirect(std::string_view data);
    void OnUserSubject(const std::string& user, std::string_view reply, std::string_view data);
    void OnReply(std::string_view seq, std::string_view data, bool noResponders);
    // The records side (natsrecords.cpp).
    void SendBatch(CBatch& batch);
    void OnBatchUnanswered(std::string_view number);
    // Keeps the records in flight that `which` picks as offline messages
    // here: their node will not answer.
    void KeepInFlight(const std::function<bool(const CInFlight&)>& which);
    void OnNodeRecords(std::string_view data);
    void AnswerTo(std::string_view prefix, std::string_view seq, char taken);
    // Tells the node that sent a record with `reply` what became of it
    // ('D' delivered, 'S' kept), together with the other answers of the turn.
    void Answer(const std::string& reply, char taken);
    void OnAnswers(std::string_view lines);
    void OnReconnected();

    // The login side (natslogin.cpp).
    void OnLoginReply(std::string_view token, std::string_view data, bool noResponders);
    void OnKick(const std::string& user, const std::string& reply, const std::vector<std::string>& words);
    void FinishLogin(uint64_t id);
    bool LoginPending(const std::string& user) const;
    void SubscribeUser(const std::string& user);
    // Whether the link to the NATS server is up.
    bool LinkUp() const;

    void Publish(std::string_view subject, std::string_view data, std::string_view reply = {});
    void Broadcast(std::string_view data) { Publish(m_allSubject, data); }
    void SendDirectory(const std::string& node);
    void SawNode(const std::string& node);
    void NodeGone(const std::string& node);
    void Tick();

    asio::io_context& m_io;
    CClusterListener& m_listener;
    std::unique_ptr<CNatsLink> m_link;
    // Users whose subjects this node has subscribed to.
    std::unordered_set<std::string> m_userSubs;
    std::string m_node;
    std::string m_allSubject;
    std::string m_replyPrefix;
    // Users logged in here and their session blocks, for nodes that ask.
    std::unordered_map<std::string, std::vector<std::string>> m_local;
    // The latest login of each of them, or of a user logging in here.
    std::unordered_map<std::string, CLoginStamp> m_loginStamps;
    // Logins under way here, by the sequence number in their replies.
    std::unordered_map<uint64_t, CLogin> m_logins;
    uint64_t m_nextLogin = 0;
    // Users logged in on other nodes.
    std::unordered_map<std::string, CRemoteUser> m_remote;
    // Other nodes, when last heard of.
    std::unordered_map<std::string, Clock::time_point> m_nodes;
    std::unordered_map<uint64_t, CInFlight> m_inFlight;
    // Answers for the records of other nodes, by their reply prefix, until
    // the end of the turn.
    // A cluster has a few nodes: a short list, searched without a copy of
    // the prefix.
    std::vector<std::pair<std::string, std::string>> m_answers;
    bool m_answersPosted = false;
    std::vector<CBatch> m_batches;
    bool m_batchesPosted = false;
    uint64_t m_nextBatch = 0;
    std::string m_record; // the encoding of the record at hand
    std::string m_answerSubject;
    uint64_t m_nextSeq = 0;
    asio::steady_timer m_timer;
    Clock::time_point m_lastTick;
    bool m_left = false;
};
