// The murmurly-server executable itself: command line, default database
// location, SIGTERM and a restart of the process.

#include "serverfixture.h"

#include "commands.h"
#include "server.h"
#include "wire.h"

#include <csignal>
#include <cstdlib>

namespace {

class Process : public ::testing::Test
{
protected:
    CTempDir m_dir;
    std::string Db() const { return (m_dir.Path() / "server.db").string(); }
};

TEST_F(Process, HelpPrintsUsage)
{
    CServerProcess p(m_dir.Path(), {"--help"}, false);
    EXPECT_EQ(p.Wait(5s), 0);
    const std::string usage = p.Log();
    EXPECT_NE(usage.find("--login-timeout SECONDS"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--max-connections N"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--no-registration"), std::string::npos) << usage;
    EXPECT_NE(usage.find("--fast-hash"), std::string::npos) << usage;
}

TEST_F(Process, FastHashRefusesAnExistingDatabase)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
        ASSERT_NE(p.Port(), 0);
        EXPECT_EQ(p.Stop(SIGTERM), 0);
    }
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"}, false);
    EXPECT_EQ(p.Wait(5s), 2);
    EXPECT_NE(p.Log().find("already exists"), std::string::npos) << p.Log();
}

TEST_F(Process, BadArgumentsExitWithStatusTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--port", "x"},
        {"--port"},
        {"--bogus"},
        {"--db", ""},
        {"--address", "not an address", "--port", "0", "--db", Db()},
        {"--login-timeout", "0"},
        {"--max-connections", "x"},
        {"--record-timeout", "-1"},
    };
    for (const auto& args : cases) {
        CServerProcess p(m_dir.Path(), args, false);
        EXPECT_EQ(p.Wait(5s), 2) << args[0];
        const std::string log = p.Log();
        EXPECT_NE(log.find("murmurly-server: "), std::string::npos) << log;
    }
}

TEST_F(Process, UnusableDatabaseExitsWithStatusTwo)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", (m_dir.Path() / "no/such/dir/x.db").string()},
                         false);
        EXPECT_EQ(p.Wait(5s), 2);
    }
    {
        // A file that is not a database.
        const auto junk = m_dir.Path() / "junk.db";
        FILE* f = std::fopen(junk.c_str(), "wb");
        std::fputs("this is certainly not an SQLite database, just some text to fill the header", f);
        std::fclose(f);
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", junk.string()}, false);
        EXPECT_EQ(p.Wait(5s), 2);
        EXPECT_NE(p.Log().find("database"), std::string::npos);
    }
}

TEST_F(Process, DefaultDatabaseGoesToTheDataFolder)
{
    const auto xdg = m_dir.Path() / "xdg";
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    CServerProcess p(m_dir.Path(), {"--port", "0", "--fast-hash"});
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_NE(p.Port(), 0);
    CTestClient(p.Port()).Register("alice", "pw");
    EXPECT_TRUE(std::filesystem::exists(xdg / "murmurly" / "murmurly.db"));
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, SigtermSendsZToEveryClient)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
    ASSERT_NE(p.Port(), 0);
    CTestClient anonymous(p.Port());
    CTestClient alice(p.Port());
    alice.Register("alice", "pw");
    alice.Send(Cmd::Login, "alice", "wrong");
    alice.Expect(Cmd::LoginFailed);
    alice.Login("alice", "pw");
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    EXPECT_EQ(alice.Expect(Cmd::ServerShutdown).command, "Z");
    EXPECT_TRUE(alice.WaitClosed());
    EXPECT_EQ(anonymous.Expect(Cmd::ServerShutdown).command, "Z");
    const std::string log = p.Log();
    EXPECT_NE(log.find("login alice from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("login failed for alice from 127.0.0.1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("pw\n"), std::string::npos) << log;
}

TEST_F(Process, SigintStopsCleanlyToo)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
    ASSERT_NE(p.Port(), 0);
    CTestClient c(p.Port());
    c.Register("alice", "pw");
    EXPECT_EQ(p.Stop(SIGINT), 0);
    c.Expect(Cmd::ServerShutdown);
}

TEST_F(Process, StoredDataSurvivesARestartOfTheProcess)
{
    {
        CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db(), "--fast-hash"});
        CTestClient bob(p.Port());
        bob.Register("bob", "pw");
        CTestClient alice(p.Port());
        alice.Register("alice", "pw");
        alice.Login("alice", "pw");
        // One burst, stored in one group; the answer after it comes only
        // once the group is committed.
        std::string burst;
        for (int i = 0; i < 50; ++i)
            EncodeRecord(MakeFontMessage("bob", "across restarts " + std::to_string(i)), burst);
        EncodeRecord(MakeRecord(Cmd::BlockedList, "alice"), burst);
        ASSERT_TRUE(alice.SendRaw(burst));
        alice.Expect(Cmd::BlockedListAnswer);
        // No clean stop: a crash must not lose what was answered.
        EXPECT_EQ(p.Stop(SIGKILL), -1);
    }
    // Without --fast-hash: it refuses a database that exists.
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
    CTestClient bob(p.Port());
    bob.Login("bob", "pw");
    for (int i = 0; i < 50; ++i) {
        const CNetMessage o = bob.Expect(Cmd::OfflineMessage);
        EXPECT_EQ(o.sender, "alice");
        EXPECT_EQ(o.text, "across restarts " + std::to_string(i));
        ExpectSameFont(MakeFontMessage("bob", ""), o);
    }
    bob.Expect(Cmd::OfflineEnd);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

TEST_F(Process, LoginTimeoutAndConnectionLimitApply)
{
    CServerProcess p(m_dir.Path(),
                     {"--port", "0", "--db", Db(), "--login-timeout", "1", "--max-connections", "1"});
    ASSERT_NE(p.Port(), 0);
    CTestClient first(p.Port());
    CTestClient second(p.Port());
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_TRUE(first.WaitClosed(10s));
    EXPECT_EQ(p.Stop(SIGTERM), 0);
    const std::string log = p.Log();
    EXPECT_NE(log.find("connection limit of 1 reached"), std::string::npos) << log;
    EXPECT_NE(log.find("no login from"), std::string::npos) << log;
}

TEST_F(Process, ListenLineShowsTheRealPort)
{
    CServerProcess p(m_dir.Path(), {"--port", "0", "--db", Db()});
    ASSERT_NE(p.Port(), 0);
    EXPECT_NE(p.Log().find("listening on 127.0.0.1:" + std::to_string(p.Port())), std::string::npos);
    EXPECT_EQ(p.Stop(SIGTERM), 0);
}

} // namespace
