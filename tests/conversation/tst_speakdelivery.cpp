// When a line is delivered: the marks of the user's lines as the server
// answers them, lines that wait across a lost connection and a new start
// and go out again with their ids, and a message that comes twice shown and
// kept once. Saves a window with every mark to
// MURMURLY_SCREENSHOTS/delivery-marks.png when that folder is given.
#include "shellfixture.h"
#include "tst_speakutil.h"

#include <QDir>
#include <QLabel>
#include <QTest>

namespace {

CSpeakWindow* Window(CShellFixture& f, const std::string& to)
{
    return qobject_cast<CSpeakWindow*>(FindSpeakWindow(*f.doc, to));
}

// Types `text` and presses Send; the id of the "M" that goes out, or "".
std::string Send(CShellFixture& f, CSpeakWindow* window, const char* text)
{
    window->InputBox()->setPlainText(QString::fromUtf8(text));
    window->SendButton()->click();
    const std::optional<CNetMessage> sent = f.server.Expect(Cmd::Message);
    return sent && sent->text == text && sent->names.size() == 1 ? sent->names.front() : std::string();
}

// The server's answer to the line `id`: "MA" with `text`, or "F" with the reason.
void Answer(CShellFixture& f, const std::string& to, const std::string& id, const char* text)
{
    CNetMessage answer = Record(Cmd::MessageAck, to, "anna", {id});
    answer.text = text;
    f.server.Inject(answer);
}

void Refuse(CShellFixture& f, const std::string& id, const std::string& reason)
{
    f.server.Inject(Record(Cmd::Failure, reason, "anna", {id}));
}

bool MarkBecomes(CConversationBox* box, int n, const char* word)
{
    return WaitUntil([&] { return box->MarkWord(n) == QString::fromUtf8(word); });
}

} // namespace

class TestSpeakDelivery : public QObject
{
    Q_OBJECT

private slots:
    void MarksFollowAnswers();
    void WaitingLinesGoAgain();
    void SameMessageOnce();
};

void TestSpeakDelivery::MarksFollowAnswers()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    CSpeakWindow* bob = qobject_cast<CSpeakWindow*>(f.view->OpenSpeakWindow("bob"));
    CConversationBox* box = bob->ConversationBox();

    // A line that cannot be sent at all is marked, and the box still comes.
    const std::string refused = Send(f, bob, "Here are the minutes");
    QCOMPARE(refused.size(), std::size_t(32));
    QCOMPARE(box->MarkWord(0), QStringLiteral("sending\u2026"));
    Refuse(f, refused, "User bob cannot receive more offline messages");
    QVERIFY(MarkBecomes(box, 0, "not sent"));
    QCOMPARE(box->MarkTip(0), QStringLiteral("Not sent: User bob cannot receive more offline messages"));
    QCOMPARE(f.boxes.Last().text, QStringLiteral("User bob cannot receive more offline messages"));

    const std::string stored = Send(f, bob, "Are you back from your trip?");
    Answer(f, "bob", stored, "stored");
    QVERIFY(MarkBecomes(box, 1, "sent"));
    QCOMPARE(box->MarkTip(1), QStringLiteral("Sent: the server keeps it until bob logs in"));
    f.server.Inject(ReceivedLine("bob", "Just landed!", "Arial"));
    QVERIFY(WaitUntil(
        [&] { return QString::fromStdString(bob->Conversation()).endsWith(QStringLiteral("landed!")); }));
    const std::string delivered = Send(f, bob, "Lunch at noon?");
    Answer(f, "bob", delivered, "delivered");
    QVERIFY(MarkBecomes(box, 2, "delivered"));
    QCOMPARE(box->MarkTip(2), QStringLiteral("Delivered to bob"));
    QVERIFY(!Send(f, bob, "I'll bring the slides").empty());
    QCOMPARE(box->MarkWord(3), QStringLiteral("sending\u2026"));
    QVERIFY(stored != delivered);
    // The marks are beside the text, not in it.
    QCOMPARE(box->toPlainText(), QStringLiteral("anna: Here are the minutes\nanna: Are you back from your "
                                                "trip?\nbob: Just landed!\nanna: Lunch at noon?\nanna: I'll "
                                                "bring the slides"));

    const QString folder = qEnvironmentVariable("MURMURLY_SCREENSHOTS");
    if (!folder.isEmpty())
        QVERIFY(bob->window()->grab().save(QDir(folder).filePath(QStringLiteral("delivery-marks.png"))));
}

void TestSpeakDelivery::WaitingLinesGoAgain()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    CSpeakWindow* bob = qobject_cast<CSpeakWindow*>(f.view->OpenSpeakWindow("bob"));
    const std::string first = Send(f, bob, "first");
    QVERIFY(!first.empty());

    // The connection goes before an answer; a line typed now waits too.
    f.server.CloseClient();
    QVERIFY(WaitUntil([&] { return !f.doc->IsConnected(); }));
    bob->InputBox()->setPlainText(QStringLiteral("second"));
    bob->SendButton()->click();
    QCOMPARE(bob->ConversationBox()->MarkWord(1), QStringLiteral("sending\u2026"));
    QCOMPARE(f.frame->WaitingLabel()->text(), QStringLiteral("2 lines waiting to be sent"));
    QVERIFY(!f.frame->WaitingLabel()->isHidden());

    // A new start: after the login both go out, in order, the first with its id.
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    std::optional<CNetMessage> again = f.server.Expect(Cmd::Message);
    QVERIFY(again && again->text == "first" && again->names == std::vector<std::string>{first});
    std::optional<CNetMessage> second = f.server.Expect(Cmd::Message);
    QVERIFY(second && second->text == "second" && second->names.size() == 1);
    QVERIFY(!f.frame->WaitingLabel() || f.frame->WaitingLabel()->isHidden());
    Answer(f, "bob", first, "delivered");
    Answer(f, "bob", second->names.front(), "stored");
    QVERIFY(WaitUntil([&] { return f.doc->Outbox().WaitingCount() == 0; }));

    // Answered, they are gone from the outbox for good.
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestSpeakDelivery::SameMessageOnce()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    CNetMessage line = ReceivedLine("bob", "only once", "Arial");
    line.names = {"b-1"};
    f.server.Inject(line);
    f.server.Inject(line);
    // Stored too, by a resend the server took for another: acknowledged, not shown.
    CNetMessage stored = CNetMessage::FullCopy(line);
    stored.command = Cmd::OfflineMessage;
    stored.names = {"7", "b-1"};
    f.server.Inject(stored);
    const std::optional<CNetMessage> ack = f.server.Expect(Cmd::OfflineAck);
    QVERIFY(ack && ack->names == stored.names);
    line.text = "after";
    line.names = {"b-2"};
    f.server.Inject(line);
    QVERIFY(WaitUntil([&] {
        return Window(f, "bob") && Window(f, "bob")->Conversation() == "bob: only once\nbob: after";
    }));
    QVERIFY(f.doc->OfflineMessages().empty());
    QCOMPARE(f.doc->History().LastLines("anna", "bob").size(), std::size_t(2));

    // After a new start the history knows it.
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}, true));
    f.server.Inject(line);
    line.text = "later";
    line.names = {"b-3"};
    f.server.Inject(line);
    QVERIFY(WaitUntil([&] { return Window(f, "bob") && Window(f, "bob")->Conversation() == "bob: later"; }));
    QCOMPARE(f.doc->History().LastLines("anna", "bob").size(), std::size_t(3));
}

QTEST_MAIN(TestSpeakDelivery)
#include "tst_speakdelivery.moc"
