// The SQLite store on its own: schema versioning and the orders that the
// protocol relies on.

#include "store/sqlitestore.h"

#include "serverfixture.h"

#include <sqlite3.h>

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

} // namespace
