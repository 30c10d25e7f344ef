#include "serverfixture.h"

#include "commands.h"
#include "wire.h"

#include <fstream>
#include <iterator>

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
    c->Send(Cmd::Login, "nobody", "pw");
    EXPECT_EQ(c->Expect(Cmd::LoginFailed).sender, "Invalid user name or password");
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
    // The account itself is fine.
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
    std::string bytes;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir->Path())) {
        std::ifstream in(entry.path(), std::ios::binary);
        bytes.append(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(bytes.find("alice"), std::string::npos);
    EXPECT_EQ(bytes.find("Cleartext42"), std::string::npos);
    EXPECT_EQ(bytes.find("Another77"), std::string::npos);
    EXPECT_NE(bytes.find("$argon2id$"), std::string::npos);
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
    EXPECT_EQ(c->Expect(Cmd::LoginAccepted).recipient, "alice");
    c->Expect(Cmd::FriendsListAnswer);
}

} // namespace
