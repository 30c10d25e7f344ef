// Blocks.

#include "commands.h"
#include "server.h"
#include "store/store.h"

#include <algorithm>

void CServer::HandleBlock(CConnection& c, CNetMessage& msg, bool permanent)
{
    const std::string user = c.login.user;
    const std::string name = msg.recipient;
    if (name == user)
        return;
    m_presence.WithAccount(c, name, [this, user, name, permanent](CConnection& c, bool exists) {
        if (!exists)
            return;
        auto& blocks = c.login.sessionBlocks;
        if (!permanent) {
            if (std::find(blocks.begin(), blocks.end(), name) == blocks.end() &&
                !m_presence.Routes().IsBlocked(user, name)) {
                blocks.push_back(name);
                m_presence.AnnounceSessionBlocks(c);
            }
            return;
        }
        // The block holds from now on, as the user asked; should the store
        // fail to keep it, it is undone with the connection.
        const bool added = m_presence.Block(user, name);
        // A session block made permanent is one block, not two.
        const auto it = std::find(blocks.begin(), blocks.end(), name);
        if (it != blocks.end()) {
            blocks.erase(it);
            m_presence.AnnounceSessionBlocks(c);
        }
        m_store.Query(
            c,
            [user, name](CStore& store) {
                store.AddBlock(user, name);
                return true;
            },
            [](CConnection&, bool) {},
            [this, user, name, added](const std::string&) {
                if (added)
                    m_presence.UndoBlock(user, name);
            });
    });
}

void CServer::HandleBlockedList(CConnection& c, CNetMessage&)
{
    const std::string user = c.login.user;
    m_store.Query(
        c, [user](CStore& store) { return store.Blocks(user); },
        [user](CConnection& c, std::vector<std::string> blocks) {
            CNetMessage answer = MakeRecord(Cmd::BlockedListAnswer, {}, user);
            answer.names = std::move(blocks);
            for (const auto& name : c.login.sessionBlocks)
                answer.names.push_back(name + "*");
            c.link->Send(answer);
        });
}

void CServer::HandleUnblock(CConnection& c, CNetMessage& msg)
{
    // The names come from the list as shown, so a session block still ends
    // in "*". All the permanent ones go in one transaction, and memory
    // follows only once it is committed.
    const std::string user = c.login.user;
    for (std::string& name : msg.names)
        if (!name.empty() && name.back() == '*')
            name.pop_back();
    auto names = std::make_shared<std::vector<std::string>>(std::move(msg.names));
    m_store.Query(
        c,
        [user, names](CStore& store) {
            CStore::CTransaction tx(store);
            for (const auto& name : *names)
                store.RemoveBlock(user, name);
            tx.Commit();
            return true;
        },
        [this, user, names](CConnection& c, bool) {
            auto& blocks = c.login.sessionBlocks;
            for (const auto& name : *names) {
                m_presence.Unblock(user, name);
                blocks.erase(std::remove(blocks.begin(), blocks.end(), name), blocks.end());
            }
            m_presence.AnnounceSessionBlocks(c);
            c.link->Send(MakeRecord(Cmd::Unblocked, {}, user));
        });
}
