#pragma once

#include "cluster.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

typedef struct __natsConnection natsConnection;
typedef struct __natsSubscription natsSubscription;
class CNatsWriter;

// The cluster over NATS (the C client). Subjects:
//   murmurly.all              every node: presence of users, heartbeats,
//                             routing-table writes
//   murmurly.node.ID          one node: the directory of a node that asked
//   murmurly.reply.ID.SEQ     one node: "no responders" for a record it sent
//   murmurly.reply.ID.batch   one node: what became of the records it sent,
//                             the answers of one turn of the taker together
//   murmurly.reply.ID.kSEQ    one node: the answer to a login's kick
//   murmurly.reply.ID.pSEQ    one node: "no responders" to a login's probe
//   murmurly.user.NAME        the node where NAME is logged in
//   murmurly.probe            nobody: its "no responders" proves that the
//                             NATS server handled what the node sent before
// A record for a user goes out as a request to the user's subject; the node
// there acknowledges it, and when no node serves the subject the NATS server
// answers "no responders" at once, so the sender keeps it as an offline
// message itself; so it does when no answer comes within kNodeTimeout (the
// node died with it). A node that sends no heartbeat for kNodeTimeout is taken
// for dead and its users for offline.
//
// The client library calls back on threads of its own; each callback only
// copies the message and posts it to the server's loop, where everything
// else happens. Delivery runs on one library thread, so messages are handled
// in the order the NATS server sent them. Whatever goes the other way is
// written by a thread of the cluster's own (CNatsWriter): the loop never
// waits for the NATS server.
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
    void Leave() override;

    struct CBridge;

private:
    using Clock = std::chrono::steady_clock;

    struct CRemoteUser
    {
        std::string node;
        std::vector<std::string> blocks;
    };
    struct CInFlight
    {
        Clock::time_point sent;
        CNetMessage msg;
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

    friend struct CBridge;
    void OnMessage(const std::string& subject, const std::string& reply, const std::string& data,
                   bool noResponders);
    void OnBroadcast(const std::string& data);
    void OnDirect(const std::string& data);
    void OnUserSubject(const std::string& user, const std::string& reply, const std::string& data);
    void OnReply(const std::string& seq, const std::string& data, bool noResponders);
    // Tells the node that sent a record with `reply` what became of it
    // ('D' delivered, 'S' kept), together with the other answers of the turn.
    void Answer(const std::string& reply, char taken);
    void OnAnswers(const std::string& lines);
    void OnReconnected();

    // The login side (natslogin.cpp).
    void OnLoginReply(const std::string& token, const std::string& data, bool noResponders);
    void OnKick(const std::string& user, const std::string& reply, const std::vector<std::string>& words);
    void FinishLogin(uint64_t id);
    bool LoginPending(const std::string& user) const;
    void SubscribeUser(const std::string& user);
    // Whether the link to the NATS server is up, as the library last told.
    bool LinkUp() const;

    void Publish(std::string subject, std::string data, const char* reply = nullptr);
    void Broadcast(const std::string& data) { Publish(m_allSubject, data); }
    natsSubscription* Subscribe(const std::string& subject);
    void SendDirectory(const std::string& node);
    void SawNode(const std::string& node);
    void NodeGone(const std::string& node);
    void Tick();

    asio::io_context& m_io;
    CClusterListener& m_listener;
    std::shared_ptr<CBridge> m_bridge;
    natsConnection* m_conn = nullptr;
    std::vector<natsSubscription*> m_fixedSubs;
    std::unique_ptr<CNatsWriter> m_writer;
    // Users whose subjects this node has subscribed to (the writer holds the
    // subscriptions).
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
    std::unordered_map<std::string, std::string> m_answers;
    bool m_answersPosted = false;
    uint64_t m_nextSeq = 0;
    asio::steady_timer m_timer;
    Clock::time_point m_lastTick;
    bool m_left = false;
};
