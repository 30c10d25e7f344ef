// The SQLite store on its own: schema versioning and the orders that the
// protocol relies on.

#include "store/sqlitestore.h"

#include "serverfixture.h"

#include <sqlite3.h>

#include <sys/stat.h>

namespace {

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

TEST(SqliteStore, OrdersAndOwnership)
{
    CSqliteStore s(":memory:");
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
    // Ids are not reused after a delete.
    s.DeleteMessage(second, "a");
    EXPECT_GT(s.StoreMessage(m), second);
}

TEST(SqliteStore, ScopesCommitTogetherAndTheGroupWaitsForItsCommit)
{
    CTempDir dir;
    const std::string path = (dir.Path() / "s.db").string();
    CSqliteStore s(path);
    CSqliteDb other(path); // sees only what is committed
    auto committed = [&](const std::string& table) {
        return other.QueryInt(("SELECT count(*) FROM " + table).c_str());
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

} // namespace
