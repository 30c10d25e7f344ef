// End to end, with the real server: two users talk through a conversation
// window with their fonts intact both ways, the conversation is saved, and
// a blocked sender's messages stop until the blocked users dialog unblocks
// him. Saves the conversation window to MURMURLY_SCREENSHOT when that is set.
#include "blockedusersdlg.h"
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "speakwindow.h"
#include "speakwindowframe.h"
#include "waits.h"

#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <cstring>

using namespace std::chrono_literals;

namespace {

QTextCharFormat FormatOfLine(QTextEdit* box, int n)
{
    QTextCursor cursor(box->document()->findBlockByNumber(n));
    cursor.movePosition(QTextCursor::NextCharacter);
    return cursor.charFormat();
}

CNetMessage Styled(const char* sender, const char* recipient, const char* text, const char* face,
                   int32_t weight, uint8_t italic, uint32_t color, int32_t size)
{
    CNetMessage msg;
    msg.command = Cmd::Message;
    msg.sender = sender;
    msg.recipient = recipient;
    msg.text = text;
    msg.faceName = face;
    std::strncpy(msg.font.lfFaceName, face, CLogFont::kFaceSize - 1);
    msg.font.lfWeight = weight;
    msg.font.lfItalic = italic;
    msg.color = color;
    msg.size = size;
    return msg;
}

// The blocked users dialog that the session runs once the server's list
// arrives: `action` runs once inside its modal loop.
struct CBlockedDialogDriver
{
    CBlockedDialogDriver(CPalaverDoc& doc, std::function<void(CBlockedUsersDlg*)> action)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, &doc, action] {
            auto* dialog = qobject_cast<CBlockedUsersDlg*>(RunningDialog<CBlockedUsersDlg>());
            if (dialog && dialog->isVisible() && !done) {
                done = true;
                action(dialog);
            }
            if (guard.hasExpired() && RunningDialog<CBlockedUsersDlg>())
                RunningDialog<CBlockedUsersDlg>()->EndDialog(IDCANCEL);
        });
        guard.setRemainingTime(15000);
        timer.start(20);
    }
    QTimer timer;
    QDeadlineTimer guard;
    bool done = false;
};

QStringList Listed(CBlockedUsersDlg* dialog)
{
    QStringList names;
    auto* list = dialog->findChild<QListWidget*>(QStringLiteral("blocked"));
    for (int row = 0; row < list->count(); ++row)
        names << list->item(row)->text();
    return names;
}

// True when the server has handled everything `raw` sent before: it
// answers "BUL" only after the records ahead of it.
bool RoundTrip(CRawClient& raw, const char* name)
{
    return raw.Send(Cmd::BlockedList, name) && raw.Expect(Cmd::BlockedListAnswer).has_value();
}

// The same for the client: its blocked users list asked for, and the dialog
// the answer opens closed again. The answer comes after every record the
// client sent before and is handled after every record the server had
// already sent it.
bool RoundTrip(CClientStack& client)
{
    CBlockedDialogDriver driver(client.Doc(), [](CBlockedUsersDlg* dialog) { dialog->reject(); });
    client.RunCommand(ID_TOOLS_BLOCKEDUSERS);
    return WaitUntil([&] { return driver.done && !RunningDialog<CBlockedUsersDlg>(); }, 15s);
}

} // namespace

class TestE2eTalk : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CSpeakWindow::Choosers() = {}; }
    void TalkBlockAndUnblock();
    void TwoClientsTalk();
};

void TestE2eTalk::TalkBlockAndUnblock()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CRawClient setup(server.Port());
    QVERIFY(setup.Register("anna", "secret1"));
    QVERIFY(setup.Register("bob", "pw2"));

    CClientStack client(server.Port());
    QVERIFY(client.LoginByHand("anna", "secret1"));
    CRawClient bob(server.Port());
    QVERIFY(bob.Login("bob", "pw2"));

    // bob writes in bold italic 16-point blue serif.
    QVERIFY(bob.Send(Styled("bob", "anna", "hello anna", "DejaVu Serif", 700, 1, 0x00CC0000, 320)));
    QVERIFY(WaitUntil([&] { return FindSpeakWindow(client.Doc(), "bob") != nullptr; }));
    auto* window = qobject_cast<CSpeakWindow*>(FindSpeakWindow(client.Doc(), "bob"));
    QVERIFY(window);
    QVERIFY(WaitUntil([&] { return window->Conversation() == "bob: hello anna"; }));
    QTextEdit* box = window->ConversationBox();
    QCOMPARE(FormatOfLine(box, 0).fontWeight(), int(QFont::Bold));
    QVERIFY(FormatOfLine(box, 0).fontItalic());
    QCOMPARE(FormatOfLine(box, 0).fontPointSize(), 16.0);
    QCOMPARE(FormatOfLine(box, 0).foreground().color(), QColor(0, 0, 0xCC));

    // anna never chose a font: her answer goes out in the readable
    // fallback, Arial 10 points black, and shows so on her side.
    window->InputBox()->setPlainText(QStringLiteral("hi bob"));
    window->SendButton()->click();
    auto plain = bob.Expect(Cmd::IncomingMessage);
    QVERIFY(plain);
    QCOMPARE(plain->text, std::string("hi bob"));
    QCOMPARE(plain->faceName, std::string("Arial"));
    QCOMPARE(plain->size, 200);
    QCOMPARE(plain->color, 0u);
    QCOMPARE(FormatOfLine(box, 1).fontPointSize(), 10.0);

    // Then she picks an underlined 12-point dark red sans and goes on.
    CSpeakWindow::Choosers().font = [](QWidget*, const CFontChoice&) -> std::optional<CFontChoice> {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(12);
        font.setUnderline(true);
        return CFontChoice{font, QColor(0xB0, 0x10, 0x10)};
    };
    window->OnFont();
    window->InputBox()->setPlainText(QStringLiteral("how are you?"));
    window->SendButton()->click();
    auto reply = bob.Expect(Cmd::IncomingMessage);
    QVERIFY(reply);
    QCOMPARE(reply->sender, std::string("anna"));
    QCOMPARE(reply->text, std::string("how are you?"));
    QCOMPARE(reply->faceName, std::string("DejaVu Sans"));
    QCOMPARE(reply->font.lfWeight, 400);
    QCOMPARE(int(reply->font.lfUnderline), 1);
    QCOMPARE(int(reply->font.lfItalic), 0);
    QCOMPARE(reply->color, 0x001010B0u);
    QCOMPARE(reply->size, 240);
    QCOMPARE(window->Conversation(), std::string("bob: hello anna\nanna: hi bob\nanna: how are you?"));
    QVERIFY(FormatOfLine(box, 2).fontUnderline());
    QCOMPARE(FormatOfLine(box, 2).foreground().color(), QColor(0xB0, 0x10, 0x10));

    const QString screenshot = qEnvironmentVariable("MURMURLY_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        QVERIFY(bob.Send(
            Styled("bob", "anna", "fine, shall we meet at noon?", "DejaVu Serif", 400, 0, 0x00007700, 260)));
        QVERIFY(WaitUntil([&] { return box->document()->blockCount() == 4; }));
        window->InputBox()->setPlainText(QStringLiteral("noon is fine"));
        QVERIFY(window->window()->grab().save(screenshot));
        window->InputBox()->clear();
    }

    // The conversation saved as text.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("talk.txt"));
    CSpeakWindow::Choosers().saveFile = [&](QWidget*) -> std::optional<QString> { return path; };
    window->OnSave();
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll().toStdString(), window->Conversation());

    // Blocked for good: bob's next message never arrives.
    CSpeakWindow::Choosers().block = [](QWidget*) { return int(IDYES); };
    window->OnBlockUser();
    const std::string before = window->Conversation();
    // anna's request has no answer of its own: her round trip proves it
    // reached the server, bob's that his message did, and anna's second
    // that it would have been shown by now.
    QVERIFY(RoundTrip(client));
    QVERIFY(bob.Send(Cmd::Message, "bob", "anna", "blocked words"));
    QVERIFY(RoundTrip(bob, "bob"));
    QVERIFY(RoundTrip(client));
    QCOMPARE(window->Conversation(), before);

    // The blocked users dialog from the server's list; bob unblocked.
    QStringList shown;
    {
        CBlockedDialogDriver driver(client.Doc(), [&](CBlockedUsersDlg* dialog) {
            shown = Listed(dialog);
            dialog->findChild<QListWidget*>(QStringLiteral("blocked"))->item(0)->setSelected(true);
            dialog->findChild<QPushButton*>(QStringLiteral("unblock"))->click();
        });
        client.RunCommand(ID_TOOLS_BLOCKEDUSERS);
        QVERIFY(WaitUntil([&] { return driver.done && !RunningDialog<CBlockedUsersDlg>(); }, 15s));
    }
    QCOMPARE(shown, QStringList{QStringLiteral("bob")});
    QVERIFY(client.Boxes().Texts().contains(QStringLiteral("The selected users are now unblocked")));

    QVERIFY(bob.Send(Cmd::Message, "bob", "anna", "can you hear me?"));
    QVERIFY(WaitUntil([&] { return window->Conversation() == before + "\nbob: can you hear me?"; }));

    // Blocked until log-off: listed with "*", and his messages stop again.
    CSpeakWindow::Choosers().block = [](QWidget*) { return int(IDNO); };
    window->OnBlockUser();
    QVERIFY(RoundTrip(client));
    QVERIFY(bob.Send(Cmd::Message, "bob", "anna", "blocked again"));
    QVERIFY(RoundTrip(bob, "bob"));
    QVERIFY(RoundTrip(client));
    QCOMPARE(window->Conversation(), before + "\nbob: can you hear me?");
    {
        CBlockedDialogDriver driver(client.Doc(), [&](CBlockedUsersDlg* dialog) {
            shown = Listed(dialog);
            dialog->reject();
        });
        client.RunCommand(ID_TOOLS_BLOCKEDUSERS);
        QVERIFY(WaitUntil([&] { return driver.done && !RunningDialog<CBlockedUsersDlg>(); }, 15s));
    }
    QCOMPARE(shown, QStringList{QStringLiteral("bob*")});
    QVERIFY(!client.Boxes().Texts().contains(QStringLiteral("Connection to server lost")));
}

// Two whole clients in one process, each with its own session, windows and
// connection: bob opens a conversation, anna's opens on his message, and
// her answer shows on his side.
void TestE2eTalk::TwoClientsTalk()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CRawClient setup(server.Port());
    QVERIFY(setup.Register("anna", "secret1"));
    QVERIFY(setup.Register("bob", "pw2"));

    CClientStack anna(server.Port());
    QVERIFY(anna.LoginByHand("anna", "secret1"));
    CClientStack bob(server.Port());
    QVERIFY(bob.LoginByHand("bob", "pw2"));
    QVERIFY(anna.Doc().IsLoggedIn());

    auto* toAnna = qobject_cast<CSpeakWindow*>(bob.View().OpenSpeakWindow("anna"));
    QVERIFY(toAnna);
    toAnna->InputBox()->setPlainText(QStringLiteral("hello anna"));
    toAnna->SendButton()->click();
    QVERIFY(WaitUntil([&] { return FindSpeakWindow(anna.Doc(), "bob") != nullptr; }));
    auto* toBob = qobject_cast<CSpeakWindow*>(FindSpeakWindow(anna.Doc(), "bob"));
    QVERIFY(toBob);
    QVERIFY(WaitUntil([&] { return toBob->Conversation() == "bob: hello anna"; }));
    QVERIFY(FindSpeakWindow(bob.Doc(), "bob") == nullptr);

    toBob->InputBox()->setPlainText(QStringLiteral("hi bob"));
    toBob->SendButton()->click();
    QVERIFY(WaitUntil([&] { return toAnna->Conversation() == "bob: hello anna\nanna: hi bob"; }));
    QCOMPARE(toBob->Conversation(), std::string("bob: hello anna\nanna: hi bob"));
    QVERIFY(!anna.Boxes().Texts().contains(QStringLiteral("Connection to server lost")));
    QVERIFY(!bob.Boxes().Texts().contains(QStringLiteral("Connection to server lost")));
}

QTEST_MAIN(TestE2eTalk)
#include "tst_e2e_talk.moc"
