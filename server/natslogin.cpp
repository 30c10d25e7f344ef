// The login side of CNatsCluster: what a login here asks of the other nodes
// and of the NATS server, and what this node does with the other nodes'
// logins.

#include "natscluster.h"

#include "natspayload.h"
#include "natslink.h"
#include "serverlog.h"

#include <asio/post.hpp>

#include <algorithm>
#include <charconv>

using namespace NatsPayload;

namespace {

// Nobody subscribes to it, so that the NATS server answers every request to
// it with "no responders".
const char kProbeSubject[] = "murmurly.probe";

} // namespace

void CNatsCluster::BeginLogin(const std::string& user, std::function<void(CLoginOutcome)> done)
{
    const CLoginStamp stamp{std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count(),
                            Clock::now()};
    m_loginStamps[user] = stamp;
    const uint64_t id = ++m_nextLogin;
    CLogin& login = m_logins[id];
    login.user = user;
    login.stamp = stamp;
    login.done = std::move(done);
    // Also when no node is known to serve the user: one may be logging the
    // user in right now.
    std::string kick = Join('K', {m_node, std::to_string(stamp.stamp)});
    const bool subscribe = !m_userSubs.count(user);
    SubscribeUser(user);
    if (m_left || !LinkUp()) {
        // Nothing to wait for: the link subscribes again and sends the kick
        // once it is back.
        Publish(kUserPrefix + user, kick);
        login.kickAnswered = login.subscribed = true;
        asio::post(m_timer.get_executor(), [this, id] { FinishLogin(id); });
        return;
    }
    // A request, so that this node learns whether a session ended elsewhere
    // even before that node's "O" for the user has come: "no responders"
    // means the user was logged in nowhere. The probe behind it comes back
    // once the NATS server has the new subscription: from then on whatever
    // another node sends the user comes here, and nothing sent after the
    // client's next request can miss the session.
    const std::string tag = std::to_string(id);
    Publish(kUserPrefix + user, kick, m_replyPrefix + "k" + tag);
    if (subscribe)
        Publish(kProbeSubject, {}, m_replyPrefix + "p" + tag);
    login.subscribed = !subscribe;
    login.timer = std::make_unique<asio::steady_timer>(m_io, kLoginWait);
    login.timer->async_wait([this, id](const asio::error_code& error) {
        if (!error)
            FinishLogin(id);
    });
}

void CNatsCluster::OnLoginReply(std::string_view token, std::string_view data, bool noResponders)
{
    uint64_t id = 0;
    if (!ParseWhole(token.substr(1), id))
        return;
    const auto it = m_logins.find(id);
    if (it == m_logins.end())
        return; // late: the login went ahead without it
    CLogin& login = it->second;
    if (token[0] == 'p') {
        login.subscribed = true;
    } else {
        // The first answer settles the kick; one that says more, from a
        // second node that had the user too, still counts until the login
        // goes ahead.
        login.kickAnswered = true;
        const CLoginOutcome said = noResponders  ? CLoginOutcome::Alone
                                   : data == "1" ? CLoginOutcome::EndedElsewhere
                                   : data == "2" ? CLoginOutcome::Superseded
                                                 : CLoginOutcome::Alone;
        login.outcome = std::max(login.outcome, said);
    }
    if (login.outcome == CLoginOutcome::Superseded || (login.kickAnswered && login.subscribed))
        FinishLogin(id);
}

void CNatsCluster::FinishLogin(uint64_t id)
{
    const auto it = m_logins.find(id);
    if (it == m_logins.end())
        return;
    CLogin login = std::move(it->second);
    m_logins.erase(it);
    if (login.outcome != CLoginOutcome::Superseded && (!login.kickAnswered || !login.subscribed))
        ServerLog("cluster: login of " + login.user + " goes ahead without " +
                  (login.kickAnswered ? "" : "the other nodes' answer") +
                  (login.kickAnswered || login.subscribed ? "" : " and ") +
                  (login.subscribed ? "" : "its subscription confirmed"));
    login.done(login.outcome);
    // A login that did not go ahead leaves nothing behind.
    if (!m_local.count(login.user) && !LoginPending(login.user)) {
        m_loginStamps.erase(login.user);
        if (m_userSubs.erase(login.user))
            m_link->Unsubscribe(kUserPrefix + login.user);
    }
}

bool CNatsCluster::LoginPending(const std::string& user) const
{
    return std::any_of(m_logins.begin(), m_logins.end(),
                       [&](const auto& entry) { return entry.second.user == user; });
}

void CNatsCluster::OnKick(const std::string& user, const std::string& reply,
                          const std::vector<std::string>& words)
{
    if (words.empty() || words[0] == m_node)
        return;
    // The kicking node waits for "1" (a session ended here), "2" (a newer
    // login here wins) or "0".
    const auto answer = [&](const char* what) {
        if (!reply.empty())
            Publish(reply, what);
    };
    const bool local = m_local.count(user) > 0;
    const auto mine = m_loginStamps.find(user);
    if (mine == m_loginStamps.end() || (!local && !LoginPending(user))) {
        answer("0");
        return;
    }
    // Logins race only while both wait for their answers: one here that
    // began longer ago is the older, whatever the clocks of the two
    // machines say.
    int64_t theirs = 0;
    const bool stamped = words.size() >= 2 && ParseWhole(words[1], theirs);
    if (stamped && Clock::now() - mine->second.began < kLoginWait && mine->second.stamp > theirs) {
        answer("2");
        return;
    }
    // Logins of the user under way here lose, before they are answered.
    std::vector<uint64_t> lost;
    for (auto& [id, login] : m_logins) {
        if (login.user == user) {
            login.outcome = CLoginOutcome::Superseded;
            lost.push_back(id);
        }
    }
    for (const uint64_t id : lost)
        FinishLogin(id);
    if (local)
        m_listener.OnClusterKick(user);
    answer(local ? "1" : "0");
    // The kicking node serves the user from now on. Its "O" may have come
    // before this kick and been passed over while the session here still
    // lived, so the kick records it too, lest a message for the user be
    // kept offline while the user is online there.
    if (!m_local.count(user) && !m_remote.count(user))
        m_remote[user].node = words[0];
}
