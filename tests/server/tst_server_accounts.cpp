#include "serverfixture.h"

#include "commands.h"
#include "loginguard.h"
#include "server.h"
#include "wire.h"

#include <fstream>
#include <iterator>
#include <map>

namespace {

class Accounts : public ServerTest
{
};

TEST_F(Accounts, RegisterThenLogin)
{
    auto c = Connect();
    c->Register("alice", "secret1");
    const CNetMessage slu = c->Login("alice", "secret1");
    EXPECT_TRUE(slu.names.empty());
}

TEST_F(Accounts, DuplicateNameIsRefused)
{
    auto c = Connect();
    c->Register("alice", "pw");
    c->Send(Cmd::Register, "alice", "other");
    EXPECT_EQ(c->Expect(Cmd::Failure).sender, "User name alice is already taken");
    // Names are case-sensitive: "Alice" is another account.
    c->Register("Alice", "pw");
}

TEST_F(Accounts, NameTakenThroughAnotherServerOnTheSameDatabaseIsRefused)
{
    // The other server's memory does not know the name yet: the database's
    // unique key decides.
    CInProcessServer other(m_db->Location());
    Connect()->Register("alice", "pw");
    CTestClient c(other.Port());
    c.Send(Cmd::Register, "alice", "other");
    EXPECT_EQ(c.Expect(Cmd::Failure).sender, "User name alice is already taken");
}

TEST_F(Accounts, CredentialRuleIsApplied)
{
    auto c = Connect();
    const std::pair<std::string, std::string> bad[] = {
        {"", "pw"},       {"alice", ""},    {"fifteenletterss", "pw"},   {"alice", "fifteenletterss"},
        {"al ice", "pw"}, {"alice", "p-w"}, {"\xC3\xA9t\xC3\xA9", "pw"}, {std::string("a\0b", 3), "pw"},
    };
    for (const auto& [name, password] : bad) {
        c->Send(Cmd::Register, name, password);
        EXPECT_EQ(c->Expect(Cmd::Failure).sender, "Invalid user name or password") << name << "/" << password;
    }
    c->Register("abcdefghij1234", "Z9"); // 14 characters is still fine
}

TEST_F(Accounts, WrongPasswordAndUnknownUserFail)
{
    auto c = Connect();
    c->Register("alice", "pw");
    c->Send(Cmd::Login, "alice", "PW");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    // A name without an account costs a check like a wrong password.
    const auto hashed = m_server->Server().Hasher().Completed();
    c->Send(Cmd::Login, "nobody", "pw");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    EXPECT_EQ(m_server->Server().Hasher().Completed(), hashed + 1);
    c->Send(Cmd::Login, "alice", "bad pw!");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    // Still not logged in: a friends list request is ignored.
    c->Send(Cmd::FriendsList, "alice");
    c->ExpectNoRecord();
    c->Login("alice", "pw");
}

TEST_F(Accounts, TenFailedLoginsCloseTheConnection)
{
    auto c = Connect();
    c->Register("alice", "pw");
    for (int i = 0; i < 9; ++i)
        c->Send(Cmd::Login, "alice", "wrong");
    for (int i = 0; i < 9; ++i)
        c->Expect(Cmd::LoginFailed);
    EXPECT_FALSE(c->WaitClosed(200ms));
    c->Send(Cmd::Login, "alice", "wrong");
    c->Expect(Cmd::LoginFailed);
    EXPECT_TRUE(c->WaitClosed());
    // The account itself is fine, and loopback is spared the per-address
    // lock-out by default.
    Connect()->Login("alice", "pw");
}

TEST_F(Accounts, ChangePassword)
{
    auto c = Online("alice", "old1");
    c->Send(Cmd::ChangePassword, "alice", "new1", "wrong");
    EXPECT_EQ(c->Expect(Cmd::Failure).sender, "Old password is incorrect");
    c->Send(Cmd::ChangePassword, "alice", "bad new", "old1");
    EXPECT_EQ(c->Expect(Cmd::Failure).sender, "Invalid user name or password");
    c->Send(Cmd::ChangePassword, "alice", "new1", "old1");
    c->Expect(Cmd::PasswordChanged);

    auto d = Connect();
    d->Send(Cmd::Login, "alice", "old1");
    d->Expect(Cmd::LoginFailed);
    d->Login("alice", "new1");
}

TEST_F(Accounts, PasswordIsNeverStoredInClear)
{
    Connect()->Register("alice", "Cleartext42");
    auto c = Connect();
    c->Login("alice", "Cleartext42");
    c->Send(Cmd::ChangePassword, "alice", "Another77", "Cleartext42");
    c->Expect(Cmd::PasswordChanged);
    m_server->Stop();
    // Every file of the database, its journal or write-ahead log included.
    std::map<std::string, bool> found = {
        {"alice", false}, {"Cleartext42", false}, {"Another77", false}, {"$argon2id$", false}};
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(m_db->Files(), error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_regular_file(error))
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        for (auto& [text, seen] : found)
            seen = seen || bytes.find(text) != std::string::npos;
    }
    EXPECT_TRUE(found["alice"]);
    EXPECT_FALSE(found["Cleartext42"]);
    EXPECT_FALSE(found["Another77"]);
    EXPECT_TRUE(found["$argon2id$"]);
}

TEST_F(Accounts, AnswersComeInRequestOrderWhileHashing)
{
    // "R", "L" and the client's "SL" in one segment: the login must not be
    // looked at before the account exists, and "SLU" comes after "SL".
    auto c = Connect();
    std::string bytes;
    CNetMessage r;
    r.command = Cmd::Register;
    r.sender = "alice";
    r.recipient = "pw";
    CNetMessage l;
    l.command = Cmd::Login;
    l.sender = "alice";
    l.recipient = "pw";
    CNetMessage sl;
    sl.command = Cmd::FriendsList;
    bytes = EncodeRecord(r) + EncodeRecord(l) + EncodeRecord(sl);
    ASSERT_TRUE(c->SendRaw(bytes));
    c->Expect(Cmd::Registered);
    const CNetMessage accepted = c->Expect(Cmd::LoginAccepted);
    EXPECT_EQ(accepted.recipient, "alice");
    EXPECT_EQ(accepted.names, std::vector<std::string>{"receipts"}); // offered to every client
    c->Expect(Cmd::FriendsListAnswer);
}

} // namespace

namespace {

// The per-address rules with only 127.0.0.1 exempt; the clients connect
// from other loopback addresses, as remote clients would.
class Guarded : public ServerTest
{
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        CServerLimits limits;
        limits.limitExempt = {"127.0.0.1/32"};
        limits.maxQueuedHashes = 4;
        Restart(limits);
    }
    CPasswordHasher& Hasher() { return m_server->Server().Hasher(); }
    // `n` failed logins of `name` from `from`, on fresh connections.
    void FailLogins(const std::string& from, const std::string& name, int n)
    {
        for (int done = 0; done < n;) {
            auto c = Connect(from);
            for (int i = 0; i < 9 && done < n; ++i, ++done) {
                c->Send(Cmd::Login, name, "wrong");
                c->Expect(Cmd::LoginFailed);
            }
        }
    }
};

TEST_F(Guarded, FiveFailuresLockTheNameOnlyFromThatAddress)
{
    Connect("127.0.0.2")->Register("alice", "pw");
    Connect("127.0.0.2")->Register("bob", "pw");
    FailLogins("127.0.0.2", "alice", 5);
    // Locked: even the right password fails, and costs no hashing.
    const auto hashed = Hasher().Completed();
    auto c = Connect("127.0.0.2");
    c->Send(Cmd::Login, "alice", "pw");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
    EXPECT_EQ(Hasher().Completed(), hashed);
    // Another name from there, and the owner from elsewhere, get in.
    Connect("127.0.0.2")->Login("bob", "pw");
    Connect("127.0.0.3")->Login("alice", "pw");
}

TEST_F(Guarded, TwentyFailuresAcrossNamesLockTheAddress)
{
    Connect("127.0.0.2")->Register("alice", "pw");
    for (int i = 0; i < 5; ++i)
        FailLogins("127.0.0.2", "name" + std::to_string(i), 4);
    auto c = Connect("127.0.0.2");
    c->Send(Cmd::Login, "alice", "pw");
    c->Expect(Cmd::LoginFailed);
    Connect("127.0.0.3")->Login("alice", "pw");
}

// A proxy on loopback, exempt itself, passes on clients whose headers name
// them: guesses from one lock that one out, not the proxy's other clients.
TEST_F(Guarded, LockoutFollowsTheAddressInTheProxyHeader)
{
    CServerLimits limits;
    limits.limitExempt = {"127.0.0.1/32"};
    limits.trustedProxies = {"127.0.0.1/32"};
    Restart(limits);
    const auto via = [&](const std::string& header) {
        return std::make_unique<CTestClient>(m_server->Port(), false, "127.0.0.1", header);
    };
    via(ProxyHeaderV1("192.0.2.1"))->Register("alice", "pw");
    const std::vector<std::pair<std::string, std::string>> guesserAndOther = {
        {ProxyHeaderV1("192.0.2.1", 1111), ProxyHeaderV1("192.0.2.2")},
        {ProxyHeaderV2("2001:db8:1::1", 2222, std::string("\x04\x00\x02id", 5)),
         ProxyHeaderV2("2001:db8:2::1")},
    };
    for (const auto& [guesser, other] : guesserAndOther) {
        auto c = via(guesser);
        for (int i = 0; i < 5; ++i) {
            c->Send(Cmd::Login, "alice", "wrong");
            c->Expect(Cmd::LoginFailed);
        }
        auto again = via(guesser);
        again->Send(Cmd::Login, "alice", "pw");
        again->Expect(Cmd::LoginFailed);
        via(other)->Login("alice", "pw");
    }
}

TEST_F(Guarded, FiveRegistrationsPerAddress)
{
    for (int i = 0; i < 5; ++i)
        Connect("127.0.0.2")->Register("user" + std::to_string(i), "pw");
    auto c = Connect("127.0.0.2");
    c->Send(Cmd::Register, "user5", "pw");
    const CNetMessage fr = c->Expect(Cmd::RegistrationRefused);
    EXPECT_EQ(fr.sender, "Invalid user name or password");
    Connect("127.0.0.3")->Register("user5", "pw");
}

TEST_F(Guarded, AFloodFromOneAddressDoesNotDelayAnother)
{
    Connect("127.0.0.3")->Register("alice", "pw");
    // Nothing is hashed until the test says so; four registrations fill the
    // queue of 127.0.0.2 and a fifth is refused.
    Hasher().LimitStarts(0);
    std::vector<std::unique_ptr<CTestClient>> flood;
    for (int i = 0; i < 4; ++i) {
        flood.push_back(Connect("127.0.0.2"));
        flood.back()->Send(Cmd::Register, "flood" + std::to_string(i), "pw");
    }
    ASSERT_TRUE(Eventually([&] { return Hasher().Waiting() == 4; }));
    auto extra = Connect("127.0.0.2");
    extra->Send(Cmd::Register, "flood4", "pw");
    extra->Expect(Cmd::RegistrationRefused);

    auto alice = Connect("127.0.0.3");
    alice->Send(Cmd::Login, "alice", "pw");
    ASSERT_TRUE(Eventually([&] { return Hasher().Waiting() == 5; }));
    // Two starts: one request of each address, taken in turn.
    Hasher().LimitStarts(2);
    alice->Expect(Cmd::LoginAccepted);
    EXPECT_EQ(Hasher().Waiting(), 3u);
    Hasher().LimitStarts(std::nullopt);
    for (auto& c : flood)
        c->Expect(Cmd::Registered);
}

TEST_F(Accounts, RegistrationCanBeClosed)
{
    CServerLimits limits;
    limits.registrationOpen = false;
    Restart(limits);
    auto c = Connect();
    c->Send(Cmd::Register, "alice", "pw");
    EXPECT_EQ(c->Expect(Cmd::RegistrationRefused).sender, "Registration is closed on this server");
}

TEST(LoginGuard, LocksExpireAndSuccessForgives)
{
    CServerLimits limits;
    limits.limitExempt = {"127.0.0.1/32"};
    CLoginGuard guard(limits);
    using namespace std::chrono;
    const auto t0 = CLoginGuard::Clock::now();
    const std::string a = "192.0.2.1";
    EXPECT_FALSE(guard.Applies("127.0.0.1"));
    EXPECT_TRUE(guard.Applies("127.0.0.2"));
    EXPECT_FALSE(guard.Applies("::ffff:127.0.0.1"));
    limits.limitExempt = CServerLimits().limitExempt;
    EXPECT_FALSE(guard.Applies("127.0.0.2"));
    EXPECT_FALSE(guard.Applies("::ffff:127.0.0.1"));
    EXPECT_TRUE(guard.Applies(a));
    EXPECT_EQ(AddressKey("2001:db8:1:2:aa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressKey(a), a);
    EXPECT_FALSE(guard.Applies(AddressKey("::1")));
    limits.limitExempt = {"10.1.0.0/16", "2001:db8::/32", "192.0.2.9"};
    for (const auto& [address, exempt] :
         std::vector<std::pair<std::string, bool>>{{"10.1.200.3", true},
                                                   {"10.2.0.1", false},
                                                   {"::ffff:10.1.0.1", true},
                                                   {AddressKey("2001:db8:5::1"), true},
                                                   {AddressKey("2001:db9::1"), false},
                                                   {"192.0.2.9", true},
                                                   {"192.0.2.10", false},
                                                   {"::1", false}})
        EXPECT_EQ(guard.Applies(address), !exempt) << address;
    limits.limitExempt = {};

    // Four failures, a success, then four more: no lock.
    for (int i = 0; i < 4; ++i)
        guard.LoginRejected(a, "alice", t0);
    guard.LoginStarted(a, "alice");
    guard.LoginChecked(a, "alice", true, t0);
    for (int i = 0; i < 4; ++i)
        guard.LoginRejected(a, "alice", t0);
    EXPECT_TRUE(guard.MayLogin(a, "alice", t0));
    // A check under way counts: with it, no sixth may start.
    guard.LoginStarted(a, "alice");
    EXPECT_FALSE(guard.MayLogin(a, "alice", t0));
    guard.LoginChecked(a, "alice", false, t0 + 1s);
    EXPECT_FALSE(guard.MayLogin(a, "alice", t0 + 60s));
    EXPECT_TRUE(guard.MayLogin(a, "alice", t0 + 61s));
    // Failures older than the window are forgotten.
    for (int i = 0; i < 4; ++i)
        guard.LoginRejected(a, "bob", t0 + 61s);
    guard.LoginRejected(a, "bob", t0 + 122s);
    EXPECT_TRUE(guard.MayLogin(a, "bob", t0 + 122s));
}

} // namespace
