// The stores on their own: schema versions, the orders that the protocol
// relies on, transactions, and the races between servers that share one
// PostgreSQL database.

#include "store/openstore.h"
#include "store/pgstore.h"
#include "store/sqlitestore.h"

#include "serverfixture.h"

#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// A real store whose next commit fails, before it reaches the database,
// once `refuse` is set: as a full disk or a lost connection would fail it.
template <typename Base> class CRefusingStore final : public Base
{
public:
    CRefusingStore(bool& refuse, const std::string& db) : Base(db), m_refuse(refuse) {}

protected:
    void Commit() override
    {
        if (std::exchange(m_refuse, false))
            throw CStoreError("refused");
        Base::Commit();
    }

private:
    bool& m_refuse;
};

// A PostgreSQL of the test's own, run by tests/util/pgcluster.sh.
class CPgCluster
{
public:
    explicit CPgCluster(std::filesystem::path info) : m_info(std::move(info)) { Run("start"); }
    ~CPgCluster() { Run("stop"); }
    void Restart() const { Run("restart"); }
    std::string Uri() const
    {
        std::ifstream in(m_info);
        std::string dir;
        std::getline(in, dir);
        return "postgresql:///murmurly?host=" + dir + "&user=postgres";
    }

private:
    void Run(const std::string& action) const
    {
        const std::string command = MURMURLY_PGCLUSTER " " + action + " " + m_info.string() + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::filesystem::path m_info;
};

TEST(SqliteStore, SchemaVersionIsRecordedAndNewerIsRefused)
{
    CTempDir dir;
    const std::string path = (dir.Path() / "s.db").string();
    {
        CSqliteStore store(path);
    }
    {
        CSqliteDb db(path);
        EXPECT_EQ(db.QueryInt("PRAGMA user_version"), CSqliteStore::kSchemaVersion);
        EXPECT_EQ(db.QueryInt("SELECT count(*) FROM pragma_journal_mode WHERE journal_mode = 'wal'"), 1);
        db.Exec("PRAGMA user_version = 99");
    }
    EXPECT_THROW(CSqliteStore store(path), CStoreError);
}

TEST(SqliteStore, AnAccountFromBeforeLocksCameIsUnlockedAfterTheUpgrade)
{
    CTempDir dir;
    const std::string path = (dir.Path() / "s.db").string();
    {
        CSqliteStore store(path);
        store.CreateAccount("a", "h");
    }
    {
        // As the previous schema step left it.
        CSqliteDb db(path);
        db.Exec("ALTER TABLE account DROP COLUMN locked; PRAGMA user_version = 2");
    }
    CSqliteStore store(path);
    EXPECT_EQ(store.PasswordHash("a"), "h");
    EXPECT_FALSE(store.IsLocked("a"));
    EXPECT_TRUE(store.SetLocked("a", true));
    EXPECT_TRUE(store.IsLocked("a"));
}

TEST(SqliteStore, FilesAreForTheOwnerOnly)
{
    CTempDir dir;
    const auto path = dir.Path() / "s.db";
    const mode_t old = ::umask(022);
    {
        CSqliteStore store(path.string());
        CStoredMessage m;
        m.recipient = "a";
        store.StoreMessage(m);
        store.CommitPending();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat st
            {
            };
            ASSERT_EQ(::stat((path.string() + suffix).c_str(), &st), 0) << suffix;
            EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
        }
    }
    ::umask(old);
}

// The store that the test run selects (see CTestDatabase).
class Store : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (const std::string why = CTestDatabase::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        m_db = std::make_unique<CTestDatabase>(m_dir.Path(), "s.db");
    }

    // Proves with a round trip that another connection waits for a lock in
    // a statement that starts with `statement` (PostgreSQL only).
    bool SomeoneWaitsIn(const std::string& statement) const
    {
        return Eventually([&] {
            return m_db->QueryInt("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                  "AND wait_event_type = 'Lock' AND query LIKE '" +
                                  statement + "%'") > 0;
        });
    }

    CTempDir m_dir;
    std::unique_ptr<CTestDatabase> m_db;
};

TEST_F(Store, OrdersAndOwnership)
{
    const auto store = OpenStore(m_db->Location());
    CStore& s = *store;
    EXPECT_TRUE(s.CreateAccount("a", "h"));
    EXPECT_FALSE(s.CreateAccount("a", "h2"));
    EXPECT_EQ(s.PasswordHash("a"), "h");
    EXPECT_FALSE(s.AccountExists("A"));

    for (const char* n : {"z", "b", "m"})
        ASSERT_TRUE(s.AddFriendRequest(n, "a", ""));
    EXPECT_FALSE(s.AddFriendRequest("z", "a", "again"));
    EXPECT_TRUE(s.AcceptFriendRequest("m", "a", false, true));
    EXPECT_TRUE(s.AcceptFriendRequest("z", "a", true, true));
    EXPECT_FALSE(s.AcceptFriendRequest("z", "a", true, true));
    EXPECT_EQ(s.Friends("a"), (std::vector<std::string>{"m", "z"}));
    EXPECT_EQ(s.FriendOf("a"), (std::vector<std::string>{"z"}));
    EXPECT_EQ(s.FriendRequests("a").size(), 1u);

    CStoredMessage m;
    m.sender = "b";
    m.recipient = "a";
    m.text = std::string("\0\xFF", 2);
    m.font.lfWidth = -1;
    m.font.lfPitchAndFamily = 0x80;
    m.color = 0xFFFFFFFF;
    const int64_t first = s.StoreMessage(m);
    const int64_t second = s.StoreMessage(m);
    EXPECT_GT(second, first);
    m.faceName = "Arial";
    s.StoreMessage(m);
    const CMessageUsage usage = s.MessageUsage("a");
    EXPECT_EQ(usage.count, 3u);
    EXPECT_EQ(usage.bytes, 2u + 2u + 2u + 5u);
    EXPECT_EQ(s.MessageUsage("b").count, 0u);
    s.DeleteMessage(second + 1, "a");
    EXPECT_FALSE(s.DeleteMessage(first, "b"));
    EXPECT_TRUE(s.DeleteMessage(first, "a"));
    const auto left = s.Messages("a");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, second);
    EXPECT_EQ(left[0].text, m.text);
    EXPECT_EQ(left[0].font, m.font);
    EXPECT_EQ(left[0].color, m.color);
    // Ids are not reused after a delete.
    s.DeleteMessage(second, "a");
    EXPECT_GT(s.StoreMessage(m), second);
}

TEST_F(Store, LockAndDeleteAnAccount)
{
    const auto store = OpenStore(m_db->Location());
    CStore& s = *store;
    for (const char* n : {"a", "b", "c"})
        ASSERT_TRUE(s.CreateAccount(n, "h"));
    EXPECT_FALSE(s.IsLocked("a"));
    EXPECT_TRUE(s.SetLocked("a", true));
    EXPECT_TRUE(s.IsLocked("a"));
    EXPECT_FALSE(s.IsLocked("b"));
    EXPECT_TRUE(s.SetLocked("a", false));
    EXPECT_FALSE(s.IsLocked("a"));
    EXPECT_FALSE(s.SetLocked("nobody", true));

    // Everything of "a" goes, both ways; what is of the others stays.
    ASSERT_TRUE(s.AddFriendRequest("a", "b", ""));
    ASSERT_TRUE(s.AcceptFriendRequest("a", "b", true, true));
    ASSERT_TRUE(s.AddFriendRequest("c", "a", ""));
    ASSERT_TRUE(s.AddFriendRequest("a", "c", ""));
    ASSERT_TRUE(s.AddFriendRequest("b", "c", ""));
    s.AddBlock("a", "c");
    s.AddBlock("c", "a");
    s.AddBlock("b", "c");
    CStoredMessage m;
    m.sender = "b";
    m.recipient = "a";
    s.StoreMessage(m);
    m.recipient = "c";
    s.StoreMessage(m);
    s.CommitPending();
    EXPECT_TRUE(s.DeleteAccount("a"));
    EXPECT_FALSE(s.DeleteAccount("a"));
    EXPECT_FALSE(s.AccountExists("a"));
    EXPECT_TRUE(s.Friends("b").empty());
    EXPECT_TRUE(s.FriendOf("b").empty());
    EXPECT_TRUE(s.FriendRequests("a").empty());
    EXPECT_EQ(s.FriendRequests("c").size(), 1u);
    EXPECT_EQ(s.AllBlocks(), (std::vector<std::pair<std::string, std::string>>{{"b", "c"}}));
    EXPECT_TRUE(s.Messages("a").empty());
    EXPECT_EQ(s.Messages("c").size(), 1u);
    EXPECT_TRUE(s.CreateAccount("a", "h"));
}

TEST_F(Store, ScopesCommitTogetherAndTheGroupWaitsForItsCommit)
{
    const auto store = OpenStore(m_db->Location());
    CStore& s = *store;
    auto committed = [&](const std::string& table) {
        return m_db->QueryInt("SELECT count(*) FROM " + table);
    };
    {
        CStore::CTransaction tx(s);
        for (const char* name : {"b", "c", "d"})
            s.AddBlock("a", name);
        EXPECT_EQ(committed("block"), 0);
        tx.Commit();
    }
    EXPECT_EQ(committed("block"), 3);
    {
        CStore::CTransaction tx(s);
        s.RemoveBlock("a", "b");
        s.RemoveBlock("a", "c");
    } // no Commit: both come back
    {
        CStore::CTransaction tx(s);
        s.RemoveBlock("a", "b");
        {
            CStore::CTransaction inner(s);
            s.RemoveBlock("a", "c");
        }
        tx.Commit();
    }
    EXPECT_EQ(s.Blocks("a"), (std::vector<std::string>{"c", "d"}));
    EXPECT_EQ(committed("block"), 2);

    // Messages wait for the group's commit; reads see them at once, and a
    // scope that fails leaves them pending.
    CStoredMessage m;
    m.sender = "b";
    m.recipient = "a";
    const int64_t id = s.StoreMessage(m);
    s.StoreMessage(m);
    EXPECT_TRUE(s.HasPending());
    EXPECT_EQ(s.Messages("a").size(), 2u);
    EXPECT_EQ(committed("offline_message"), 0);
    {
        CStore::CTransaction tx(s);
        s.AddBlock("a", "x");
    }
    EXPECT_TRUE(s.HasPending());
    s.CommitPending();
    EXPECT_FALSE(s.HasPending());
    EXPECT_EQ(committed("offline_message"), 2);
    // Any other committed change takes the group along.
    EXPECT_TRUE(s.DeleteMessage(id, "a"));
    EXPECT_EQ(committed("offline_message"), 2);
    s.AddBlock("a", "y");
    EXPECT_FALSE(s.HasPending());
    EXPECT_EQ(committed("offline_message"), 1);
}

TEST_F(Store, InterruptEndsACallThatWaitsForALockAndTheStoreGoesOn)
{
    const auto holder = OpenStore(m_db->Location());
    const auto store = OpenStore(m_db->Location());
    std::future<void> waiting;
    {
        CStore::CTransaction hold(*holder);
        holder->AddBlock("a", "b");
        waiting = std::async(std::launch::async, [&] { store->AddBlock("a", "b"); });
        if (CTestDatabase::Postgres()) {
            ASSERT_TRUE(SomeoneWaitsIn("INSERT INTO block"));
        }
        // Until it gives up: in SQLite an Interrupt that comes before the
        // call is under way does nothing.
        EXPECT_TRUE(Eventually([&] {
            store->Interrupt();
            return waiting.wait_for(0s) == std::future_status::ready;
        }));
    }
    EXPECT_THROW(waiting.get(), CStoreError);
    store->AddBlock("a", "c");
    EXPECT_EQ(store->Blocks("a"), (std::vector<std::string>{"c"}));
}

TEST_F(Store, AFailedCommitLeavesNothingCommittedAndReportsTheGroupLost)
{
    bool refuse = false;
    std::unique_ptr<CStore> store;
    if (CTestDatabase::Postgres())
        store = std::make_unique<CRefusingStore<CPgStore>>(refuse, m_db->Location());
    else
        store = std::make_unique<CRefusingStore<CSqliteStore>>(refuse, m_db->Location());
    CStore& s = *store;
    CStoredMessage m;
    m.recipient = "a";
    s.StoreMessage(m);
    {
        CStore::CTransaction tx(s);
        s.AddBlock("a", "b");
        refuse = true;
        EXPECT_THROW(tx.Commit(), CStoreError);
    }
    // The pending group went with the scope, and its commit says so.
    EXPECT_TRUE(s.HasPending());
    EXPECT_THROW(s.CommitPending(), CStoreError);
    EXPECT_FALSE(s.HasPending());
    s.AddBlock("a", "c");
    EXPECT_EQ(s.Blocks("a"), (std::vector<std::string>{"c"}));
    EXPECT_EQ(s.Messages("a").size(), 0u);
    EXPECT_EQ(m_db->QueryInt("SELECT count(*) FROM block"), 1);
}

class PgStore : public Store
{
protected:
    void SetUp() override
    {
        if (!CTestDatabase::Postgres())
            GTEST_SKIP() << "runs with the PostgreSQL store only";
        Store::SetUp();
    }
};

TEST_F(PgStore, SchemaVersionIsRecordedAndNewerIsRefused)
{
    {
        CPgStore s(m_db->Location());
        EXPECT_EQ(s.FoundSchemaVersion(), 0);
    }
    EXPECT_EQ(m_db->QueryInt("SELECT version FROM schema_version"), CPgStore::SchemaVersion());
    {
        CPgStore s(m_db->Location());
        EXPECT_EQ(s.FoundSchemaVersion(), CPgStore::SchemaVersion());
    }
    m_db->Exec("UPDATE schema_version SET version = 99");
    EXPECT_THROW(CPgStore s(m_db->Location()), CStoreError);
}

TEST_F(PgStore, AGroupLostWithTheConnectionIsReportedByItsCommit)
{
    // In PostgreSQL a failed statement ends the transaction that holds the
    // pending group: the commit must not pretend that the group was kept.
    const std::string name = "lost_" + std::to_string(::getpid());
    CPgStore s(m_db->Location() + "&application_name=" + name);
    CStoredMessage m;
    m.recipient = "anna";
    s.StoreMessage(m);
    m_db->Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" + name +
               "'");
    EXPECT_THROW(s.Messages("anna"), CStoreError);
    EXPECT_TRUE(s.HasPending());
    EXPECT_THROW(s.CommitPending(), CStoreError);
    EXPECT_FALSE(s.HasPending());
    EXPECT_EQ(m_db->QueryInt("SELECT count(*) FROM offline_message"), 0);
}

TEST_F(PgStore, TheFirstCallAfterTheDatabaseRestartsSucceeds)
{
    // On a PostgreSQL of its own: restarting the shared one would cut the
    // connections of the tests that run beside this one.
    const CPgCluster cluster(m_dir.Path() / "own.info");
    CPgStore s(cluster.Uri());
    ASSERT_TRUE(s.CreateAccount("anna", "h"));
    cluster.Restart();
    EXPECT_EQ(s.PasswordHash("anna"), "h");
    cluster.Restart();
    EXPECT_TRUE(s.CreateAccount("bob", "h"));
}

TEST_F(PgStore, ACallThatWaitsPastTheTimeoutFailsAndTheStoreGoesOn)
{
    CPgStore holder(m_db->Location());
    CPgStore s(m_db->Location(), 300ms);
    std::future<void> waiting;
    {
        CStore::CTransaction hold(holder);
        holder.AddBlock("a", "b");
        waiting = std::async(std::launch::async, [&] { s.AddBlock("a", "b"); });
        EXPECT_EQ(waiting.wait_for(CTestClient::kWait), std::future_status::ready);
    }
    EXPECT_THROW(waiting.get(), CStoreError);
    s.AddBlock("a", "c");
    EXPECT_EQ(s.Blocks("a"), (std::vector<std::string>{"c"}));
}

TEST_F(PgStore, ServersSharingTheDatabaseRaceThroughIt)
{
    CPgStore one(m_db->Location());
    CPgStore two(m_db->Location());

    // Both register one name at once: the second waits for the first one's
    // outcome, then finds the name taken.
    std::future<bool> secondCreated;
    {
        CStore::CTransaction tx(one);
        EXPECT_TRUE(one.CreateAccount("anna", "h1"));
        secondCreated = std::async(std::launch::async, [&] { return two.CreateAccount("anna", "h2"); });
        ASSERT_TRUE(SomeoneWaitsIn("INSERT INTO account"));
        tx.Commit();
    }
    EXPECT_FALSE(secondCreated.get());
    EXPECT_EQ(two.PasswordHash("anna"), "h1");

    // Ids are unique across servers.
    CStoredMessage m;
    m.sender = "bob";
    m.recipient = "anna";
    std::set<int64_t> ids;
    for (int i = 0; i < 5; ++i) {
        ids.insert(one.StoreMessage(m));
        ids.insert(two.StoreMessage(m));
    }
    one.CommitPending();
    two.CommitPending();
    EXPECT_EQ(ids.size(), 10u);

    // Both acknowledge one message at once: it is deleted once.
    const int64_t id = *ids.begin();
    EXPECT_TRUE(one.DeleteMessage(id, "anna"));
    auto secondDeleted = std::async(std::launch::async, [&] {
        const bool deleted = two.DeleteMessage(id, "anna");
        two.CommitPending();
        return deleted;
    });
    ASSERT_TRUE(SomeoneWaitsIn("DELETE FROM offline_message"));
    one.CommitPending();
    EXPECT_FALSE(secondDeleted.get());
    EXPECT_EQ(m_db->QueryInt("SELECT count(*) FROM offline_message"), 9);
}

} // namespace
