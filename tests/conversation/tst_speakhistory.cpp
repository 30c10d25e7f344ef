// The conversation history: lines kept across a closed window and a new
// start of the client, shown in grey above a rule and left out of Save;
// stored messages kept once; the switch and Clear history in Preferences;
// and a history that cannot be written, said once in the status bar.
// Saves a window with history to MURMURLY_SCREENSHOTS/history.png when that
// folder is given.
#include "commandids.h"
#include "historypreferences.h"
#include "shellfixture.h"
#include "speakcommands.h"
#include "tst_speakutil.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>

#include <sys/stat.h>

namespace {

const QColor kGrey(0x80, 0x80, 0x80);

CSpeakWindow* WindowFor(CPalaverDoc& doc, const std::string& name)
{
    return qobject_cast<CSpeakWindow*>(FindSpeakWindow(doc, name));
}

// bob's line arrives and is shown in his window, which opens for it.
CSpeakWindow* Receive(CShellFixture& f, const CNetMessage& line)
{
    const std::size_t shown = WindowFor(*f.doc, "bob") ? WindowFor(*f.doc, "bob")->Conversation().size() : 0;
    f.server.Inject(line);
    WaitUntil(
        [&] { return WindowFor(*f.doc, "bob") && WindowFor(*f.doc, "bob")->Conversation().size() > shown; });
    return WindowFor(*f.doc, "bob");
}

bool SendFrom(CShellFixture& f, CSpeakWindow* window, const QString& text)
{
    window->InputBox()->setPlainText(text);
    window->SendButton()->click();
    return f.server.Expect(Cmd::Message).has_value();
}

QStringList Lines(QTextEdit* box)
{
    return box->toPlainText().split(QLatin1Char('\n'));
}

int Mode(const QString& path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

bool IsRule(QTextEdit* box, int block)
{
    const QTextBlock rule = box->document()->findBlockByNumber(block);
    return rule.text().isEmpty() &&
           rule.blockFormat().hasProperty(QTextFormat::BlockTrailingHorizontalRulerWidth);
}

void RunPreferences(CShellFixture& f, const std::function<void(CPreferences&)>& act)
{
    QTimer::singleShot(0, [act] {
        auto* sheet = qobject_cast<CPreferences*>(RunningDialog<CPreferences>());
        QVERIFY(sheet);
        act(*sheet);
    });
    f.frame->ExecuteCommand(ID_FILE_PREFERENCES);
}

} // namespace

class TestSpeakHistory : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CSpeakWindow::Choosers() = {}; }
    void KeptAcrossRestart();
    void StoredMessageKeptOnce();
    void SwitchAndClear();
    void UnwritableSaidOnce();
};

void TestSpeakHistory::KeptAcrossRestart()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    CNetMessage bold = ReceivedLine("bob", "hello anna", "DejaVu Serif", 700, 0x00CC0000, 280);
    CSpeakWindow* window = Receive(f, bold);
    QVERIFY(window);
    QVERIFY(!window->IsHistoryShown());
    QVERIFY(SendFrom(f, window, QStringLiteral("hi bob")));
    window->OnCommand(ID_SPEAK_CLOSE);
    QVERIFY(WaitUntil([&] { return !WindowFor(*f.doc, "bob"); }));

    // Opened again: the two lines in grey above the rule, no conversation yet.
    window = qobject_cast<CSpeakWindow*>(f.view->OpenSpeakWindow("bob"));
    QVERIFY(window && window->IsHistoryShown());
    QCOMPARE(Lines(window->ConversationBox()), (QStringList{"bob: hello anna", "anna: hi bob", ""}));
    QVERIFY(window->Conversation().empty());
    window->OnCommand(ID_SPEAK_CLOSE);

    const QString file = CHistoryStore::DatabasePath("anna");
    QVERIFY(file.startsWith(f.home.DataHome() + QStringLiteral("/murmurly/anna/")));
    QCOMPARE(Mode(file), 0600);
    QCOMPARE(Mode(QFileInfo(file).path()), 0700);

    // A new start: bob's next line opens the window over the earlier ones,
    // and is shown once, below the rule, in his own colour.
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}));
    window = Receive(f, ReceivedLine("bob", "still there?", "DejaVu Sans", 400, 0x00007700, 240));
    QVERIFY(window && window->IsHistoryShown());
    QTextEdit* box = window->ConversationBox();
    QCOMPARE(Lines(box), (QStringList{"bob: hello anna", "anna: hi bob", "", "bob: still there?"}));
    QVERIFY(IsRule(box, 2));
    QCOMPARE(FormatOfLine(box, 0).fontWeight(), int(QFont::Bold));
    QCOMPARE(FormatOfLine(box, 0).fontPointSize(), 14.0);
    QCOMPARE(FormatOfLine(box, 0).foreground().color(), kGrey);
    QCOMPARE(FormatOfLine(box, 1).foreground().color(), kGrey);
    QCOMPARE(FormatOfLine(box, 3).foreground().color(), QColor(0, 0x77, 0));
    QVERIFY(SendFrom(f, window, QStringLiteral("yes")));
    QCOMPARE(FormatOfLine(box, 0).foreground().color(), kGrey);

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
    QCOMPARE(f.doc->History().LastLines("anna", "bob").size(), std::size_t(4));
    QCOMPARE(f.boxes.Count(), 0);
}

void TestSpeakHistory::StoredMessageKeptOnce()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    // The server delivers a stored message again until it is deleted.
    CNetMessage stored = ReceivedLine("bob", "while you were away", "Arial");
    stored.command = Cmd::OfflineMessage;
    stored.recipient = "anna";
    stored.names = {"7"};
    stored.time = 1'700'000'000;
    f.server.Inject(stored);
    f.server.Inject(stored);
    QVERIFY(WaitUntil([&] { return f.doc->OfflineMessages().size() == 2; }));
    const std::vector<CNetMessage> kept = f.doc->History().LastLines("anna", "bob");
    QCOMPARE(kept.size(), std::size_t(1));
    QCOMPARE(kept[0].text, std::string("while you were away"));
    QCOMPARE(kept[0].time, 1'700'000'000);
}

void TestSpeakHistory::SwitchAndClear()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    QVERIFY(Receive(f, ReceivedLine("bob", "one", "Arial")));
    QCOMPARE(f.doc->History().LastLines("anna", "bob").size(), std::size_t(1));

    // Clear history asks first; No keeps everything, Yes empties it.
    RunPreferences(f, [](CPreferences& sheet) {
        QCOMPARE(sheet.Tabs()->tabText(2), QStringLiteral("History"));
        CHistoryPreferences* page = sheet.HistoryPage();
        QVERIFY(page->KeepBox()->isChecked());
        QCOMPARE(page->KeepBox()->text(), QStringLiteral("Keep conversation history"));
        QCOMPARE(page->ClearButton()->text(), QStringLiteral("Clear history"));
        page->ClearButton()->click();
        sheet.CancelButton()->click();
    });
    QCOMPARE(f.boxes.Count(), 1);
    QCOMPARE(f.boxes.Last().buttons, MessageButtons::YesNoDefaultNo);
    QCOMPARE(f.doc->History().LastLines("anna", "bob").size(), std::size_t(1));
    f.boxes.QueueAnswer(MessageAnswer::Yes);
    RunPreferences(f, [](CPreferences& sheet) {
        sheet.HistoryPage()->ClearButton()->click();
        sheet.CancelButton()->click();
    });
    QVERIFY(f.doc->History().LastLines("anna", "bob").empty());

    // Switched off: stored, nothing more kept, and windows open as before.
    RunPreferences(f, [](CPreferences& sheet) {
        sheet.HistoryPage()->KeepBox()->click();
        sheet.OkButton()->click();
    });
    QCOMPARE(OpenSettingsRoot()->value(QStringLiteral("Settings/History/Keep")).toInt(), 0);
    f.Restart();
    QVERIFY(f.LogIn("anna", {"bob"}));
    QVERIFY(!f.doc->History().IsKeeping());
    CSpeakWindow* window = Receive(f, ReceivedLine("bob", "two", "Arial"));
    QVERIFY(window && !window->IsHistoryShown());
    f.doc->History().SetKeeping(true);
    QVERIFY(f.doc->History().LastLines("anna", "bob").empty());
}

void TestSpeakHistory::UnwritableSaidOnce()
{
    CShellFixture f;
    // A file where the data folder should be: no folder can be made in it,
    // whoever runs the test.
    QFile blocker(f.home.DataHome());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(f.LogIn("anna", {"bob"}));
    QSignalSpy said(&f.doc->History(), &CHistoryStore::WriteFailed);
    CSpeakWindow* window = Receive(f, ReceivedLine("bob", "one", "Arial"));
    QVERIFY(window);
    QVERIFY(SendFrom(f, window, QStringLiteral("two")));
    QVERIFY(Receive(f, ReceivedLine("bob", "three", "Arial")));
    QCOMPARE(said.count(), 1);
    QCOMPARE(f.frame->statusBar()->currentMessage(),
             QStringLiteral("Conversation history could not be saved"));
    QCOMPARE(window->Conversation(), std::string("bob: one\nanna: two\nbob: three"));
    QCOMPARE(f.boxes.Count(), 0);
}

QTEST_MAIN(TestSpeakHistory)
#include "tst_speakhistory.moc"
