#pragma once

#include "cluster.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

typedef struct __natsConnection natsConnection;
typedef struct __natsSubscription natsSubscription;

// The cluster over NATS (the C client). Subjects:
//   murmurly.all              every node: presence of users, heartbeats,
//                             routing-table writes
//   murmurly.node.ID          one node: the directory of a node that asked
//   murmurly.reply.ID.SEQ     one node: what became of a record it sent
//   murmurly.user.NAME        the node where NAME is logged in
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
// in the order the NATS server sent them.
class CNatsCluster : public CCluster
{
public:
    static constexpr auto kHeartbeat = std::chrono::seconds(1);
    static constexpr auto kNodeTimeout = std::chrono::seconds(5);

    // Connects to `url` (nats://HOST:PORT) and announces this node. Throws
    // std::runtime_error with the reason when it cannot.
    CNatsCluster(asio::io_context& io, const std::string& url, CClusterListener& listener);
    ~CNatsCluster() override;
    CNatsCluster(const CNatsCluster&) = delete;
    CNatsCluster& operator=(const CNatsCluster&) = delete;

    const std::string& NodeId() const { return m_node; }

    void UserOnline(const std::string& user, const std::vector<std::string>& sessionBlocks) override;
    void UserOffline(const std::string& user) override;
    const std::vector<std::string>* RemoteSession(const std::string& user) const override;
    void SendToUser(const std::string& user, const CNetMessage& msg, bool mustArrive) override;
    bool Kick(const std::string& user) override;
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

    friend struct CBridge;
    void OnMessage(const std::string& subject, const std::string& reply, const std::string& data,
                   bool noResponders);
    void OnBroadcast(const std::string& data);
    void OnDirect(const std::string& data);
    void OnUserSubject(const std::string& user, const std::string& reply, const std::string& data);
    void OnReply(const std::string& seq, const std::string& data, bool noResponders);
    void OnReconnected();

    void Publish(const std::string& subject, const std::string& data, const char* reply = nullptr);
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
    std::unordered_map<std::string, natsSubscription*> m_userSubs;
    std::string m_node;
    std::string m_allSubject;
    std::string m_replyPrefix;
    // Users logged in here and their session blocks, for nodes that ask.
    std::unordered_map<std::string, std::vector<std::string>> m_local;
    // When each of them logged in here (nanoseconds of the system clock).
    std::unordered_map<std::string, int64_t> m_loginStamps;
    // Users logged in on other nodes.
    std::unordered_map<std::string, CRemoteUser> m_remote;
    // Other nodes, when last heard of.
    std::unordered_map<std::string, Clock::time_point> m_nodes;
    std::unordered_map<uint64_t, CInFlight> m_inFlight;
    uint64_t m_nextSeq = 0;
    asio::steady_timer m_timer;
    bool m_left = false;
};
