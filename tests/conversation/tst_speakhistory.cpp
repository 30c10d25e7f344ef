// The conversation history: lines kept across a closed window and a new
// start, stored messages once, shown in grey above a rule, left out of Save
// and taken out of open windows when cleared; the switch and Clear history
// in Preferences; a history that cannot be written, said once in the status
// bar. Saves a window with history to MURMURLY_SCREENSHOTS/history.png when
// that folder is given.
#include "commandids.h"
#include "historypreferences.h"
#include "shellfixture.h"
#include "speakcommands.h"
#include "tst_speakutil.h"

#include <QCheckBox>
#include <QDir>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include <sys/stat.h>

namespace {

CSpeakWindow* Bob(CShellFixture& f)
{
    return qobject_cast<CSpeakWindow*>(FindSpeakWindow(*f.doc, "bob"));
}

// bob's line arrives and is shown in his window, which opens for it.
CSpeakWindow* Receive(CShellFixture& f, const CNetMessage& line)
{
    const std::size_t shown = Bob(f) ? Bob(f)->Conversation().size() : 0;
    f.server.Inject(line);
    WaitUntil([&] { return Bob(f) && Bob(f)->Conversation().size() > shown; });
    return Bob(f);
}

bool Send(CShellFixture& f, CSpeakWindow* window, const QString& text)
{
    window->InputBox()->setPlainText(text);
    window->SendButton()->click();
    return f.server.Expect(Cmd::Message).has_value();
}

int Mode(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

std::size_t Kept(CShellFixture& f)
{
    return f.doc->History().LastLines("anna", "bob").size();
}

void RunPreferences(CShellFixture& f, const std::function<void(CPreferences&)>& act)
{
    QTimer::singleShot(0, [act] { act(*qobject_cast<CPreferences*>(RunningDialog<CPreferences>())); });
    f.frame->ExecuteCommand(ID_FILE_PREFERENCES);
}

} // namespace

class TestSpeakHistory : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CSpeakWindow::Choosers() = {}; }
    void KeptAcrossRestart();
    void SwitchAndClear();
    void UnwritableSaidOnce();
};

void TestSpeakHistory::KeptAcrossRestart()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    // A stored message comes at every login until deleted: kept once, at
    // the time the server took it.
    CNetMessage stored = ReceivedLine("bob", "while you were away", "Arial");
    stored.command = Cmd::OfflineMessage;
    stored.names = {"7"};
    stored.time = 1'700'000'000;
    f.server.Inject(stored);
    f.server.Inject(stored);
    CSpeakWindow* window =
        Receive(f, ReceivedLine("bob", "hello anna", "DejaVu Serif", 700, 0x00CC0000, 280));
    QVERIFY(window);
    QCOMPARE(window->ConversationBox()->toPlainText(),
             CConversationBox::DayText(stored.time) +
                 QStringLiteral("\nbob: while you were away\n\nbob: hello anna"));
    QVERIFY(Send(f, window, QStringLiteral("hi bob")));
    window->OnCommand(ID_SPEAK_CLOSE);
    QVERIFY(WaitUntil([&] { return !Bob(f); }));

    const QString file = CHistoryStore::DatabasePath("anna");
    QCOMPARE(file, f.home.DataHome() + QStringLiteral("/murmurly/anna/history.db"));
    QCOMPARE(Mode(file), 0600);
    QCOMPARE(Mode(QFileInfo(file).path()), 0700);

    // A new start: bob's next line opens the window below the earlier
    // ones, in his own colour, and is not among them.
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}));
    const CNetMessage still = ReceivedLine("bob", "still there?", "DejaVu Sans", 400, 0x00007700, 240);
    window = Receive(f, still);
    QVERIFY(window && window->IsHistoryShown());
    CConversationBox* box = window->ConversationBox();
    // Each day's earlier lines under its date.
    const qint64 today = f.doc->History().LastLines("anna", "bob").back().time;
    QCOMPARE(box->toPlainText(), CConversationBox::DayText(stored.time) +
                                     QStringLiteral("\nbob: while you were away\n") +
                                     CConversationBox::DayText(today) +
                                     QStringLiteral("\nbob: hello anna\nanna: hi bob\n\nbob: still there?"));
    QVERIFY(box->document()->findBlockByNumber(5).blockFormat().hasProperty(
        QTextFormat::BlockTrailingHorizontalRulerWidth));
    QCOMPARE(FormatOfLine(box, 3).fontWeight(), int(QFont::Bold));
    QCOMPARE(FormatOfLine(box, 3).fontPointSize(), 14.0);
    QVERIFY(Send(f, window, QStringLiteral("yes")));
    for (int line : {0, 1, 2, 3, 4})
        QCOMPARE(FormatOfLine(box, line).foreground().color(), QColor(0x80, 0x80, 0x80));
    QCOMPARE(FormatOfLine(box, 6).foreground().color(), QColor(0, 0x77, 0));
    // Resting on a line tells when it was said, and where the user's own stands.
    const auto tipOf = [box](int line) {
        return box->TipAt(box->cursorRect(QTextCursor(box->document()->findBlockByNumber(line))).center());
    };
    QCOMPARE(tipOf(1), CConversationBox::TimeText(stored.time));
    QCOMPARE(tipOf(6), CConversationBox::TimeText(still.time));
    const qint64 said = f.doc->History().LastLines("anna", "bob").back().time;
    QCOMPARE(tipOf(7), CConversationBox::TimeText(said) + QLatin1Char('\n') + box->MarkTip(0));

    const QString folder = qEnvironmentVariable("MURMURLY_SCREENSHOTS");
    if (!folder.isEmpty()) {
        window->InputBox()->setPlainText(QStringLiteral("see you at noon"));
        QVERIFY(window->window()->grab().save(QDir(folder).filePath(QStringLiteral("history.png"))));
        window->InputBox()->clear();
    }

    // Save writes this window's own conversation, without the grey lines.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("talk.txt"));
    CSpeakWindow::Choosers().saveFile = [&](QWidget*) -> std::optional<QString> { return path; };
    window->OnSave();
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("bob: still there?\nanna: yes"));
    QCOMPARE(Mode(path), 0600);
    QCOMPARE(Kept(f), std::size_t(5));
    QCOMPARE(f.boxes.Count(), 0);

    // Clearing the history takes the grey lines out of the open window too.
    QVERIFY(f.doc->History().Clear("anna"));
    QVERIFY(!window->IsHistoryShown());
    QCOMPARE(box->toPlainText(), QStringLiteral("bob: still there?\nanna: yes"));
    QCOMPARE(FormatOfLine(box, 0).foreground().color(), QColor(0, 0x77, 0));
}

void TestSpeakHistory::SwitchAndClear()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    QVERIFY(Receive(f, ReceivedLine("bob", "one", "Arial")));
    QCOMPARE(Kept(f), std::size_t(1));

    // Clear history asks first; No (the default) keeps everything, Yes empties it.
    auto clear = [](CPreferences& sheet) {
        QCOMPARE(sheet.Tabs()->tabText(2), QStringLiteral("History"));
        QCOMPARE(sheet.HistoryPage()->ClearButton()->text(), QStringLiteral("Clear history"));
        sheet.HistoryPage()->ClearButton()->click();
        sheet.CancelButton()->click();
    };
    RunPreferences(f, clear);
    QCOMPARE(f.boxes.Last().buttons, MessageButtons::YesNoDefaultNo);
    QCOMPARE(Kept(f), std::size_t(1));
    f.boxes.QueueAnswer(MessageAnswer::Yes);
    RunPreferences(f, clear);
    QCOMPARE(Kept(f), std::size_t(0));

    // Switched off and stored: after a new start nothing more is kept, and
    // windows open as they always did.
    RunPreferences(f, [](CPreferences& sheet) {
        QCOMPARE(sheet.HistoryPage()->KeepBox()->text(), QStringLiteral("Keep conversation history"));
        QVERIFY(sheet.HistoryPage()->KeepBox()->isChecked());
        sheet.HistoryPage()->KeepBox()->click();
        sheet.OkButton()->click();
    });
    QCOMPARE(OpenSettingsRoot()->value(QStringLiteral("Settings/History/Keep")).toInt(), 0);
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}));
    QVERIFY(!Receive(f, ReceivedLine("bob", "two", "Arial"))->IsHistoryShown());
    f.doc->History().SetKeeping(true);
    QCOMPARE(Kept(f), std::size_t(0));
}

void TestSpeakHistory::UnwritableSaidOnce()
{
    CShellFixture f;
    // A file where the data folder should be: nobody can make a folder in it.
    QFile blocker(f.home.DataHome());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(f.LogIn("anna", {"bob"}));
    QSignalSpy said(&f.doc->History(), &CHistoryStore::WriteFailed);
    CSpeakWindow* window = Receive(f, ReceivedLine("bob", "one", "Arial"));
    QVERIFY(window && Send(f, window, QStringLiteral("two")));
    QVERIFY(Receive(f, ReceivedLine("bob", "three", "Arial")));
    QCOMPARE(said.count(), 1);
    QCOMPARE(f.frame->statusBar()->currentMessage(),
             QStringLiteral("Conversation history could not be saved"));
    QCOMPARE(window->Conversation(), std::string("bob: one\nanna: two\nbob: three"));
    QCOMPARE(f.boxes.Count(), 0);
}

QTEST_MAIN(TestSpeakHistory)
#include "tst_speakhistory.moc"
