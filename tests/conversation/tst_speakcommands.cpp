// The conversation window's commands: its menu and toolbar, the layout, the
// edit commands' rules over the two boxes, saving the transcript, and the
// block requests on the wire.
#include "blockconfirmdlg.h"
#include "sessionfixture.h"
#include "speakcommands.h"
#include "tst_speakutil.h"
#include "waits.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>

using namespace std::chrono_literals;

namespace {

// Each pop-up's items as "id text", separators as "-".
QStringList MenuItems(QMenu* menu)
{
    QStringList items;
    for (QAction* action : menu->actions())
        items << (action->isSeparator() ? QStringLiteral("-")
                                        : QString::number(action->data().toInt()) + u' ' + action->text());
    return items;
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Selects characters [from, to) of `box`.
void Select(QTextEdit* box, int from, int to)
{
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(from);
    cursor.setPosition(to, QTextCursor::KeepAnchor);
    box->setTextCursor(cursor);
}

bool Focus(QWidget* widget)
{
    QApplication::setActiveWindow(widget->window());
    widget->setFocus();
    return WaitUntil([&] { return widget->hasFocus(); }, 2s);
}

} // namespace

class TestSpeakCommands : public QObject
{
    Q_OBJECT

private slots:
    void MenuAndToolbar();
    void LayoutAndMinimumSize();
    void CutAndCopyRules();
    void PasteDeleteAndSelectAllFollowFocus();
    void SaveAndSaveAs();
    void UnwritableFiles();
    void BlockRequests_data();
    void BlockRequests();
    void BlockThroughTheConfirmationDialog();
};

void TestSpeakCommands::MenuAndToolbar()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    const QList<QAction*> popups = frame->menuBar()->actions();
    QCOMPARE(popups.size(), 4);
    QCOMPARE(popups[0]->text(), QStringLiteral("&File"));
    QCOMPARE(popups[1]->text(), QStringLiteral("&Edit"));
    QCOMPARE(popups[2]->text(), QStringLiteral("F&ormat"));
    QCOMPARE(popups[3]->text(), QStringLiteral("&Help"));
    QCOMPARE(MenuItems(popups[0]->menu()),
             (QStringList{"57600 &New\tCtrl+N", "32792 Sen&d", "-", "57603 Save\tCtrl+S", "32803 Save &As",
                          "57607 &Print...\tCtrl+P", "-", "32805 &Block this User", "-", "57602 &Close"}));
    QCOMPARE(MenuItems(popups[1]->menu()),
             (QStringList{"57635 Cu&t\tCtrl+X", "57634 &Copy\tCtrl+C", "57637 &Paste\tCtrl+V",
                          "32793 Delete\tDel", "-", "32794 Select All\tCtrl+A"}));
    QCOMPARE(MenuItems(popups[2]->menu()),
             (QStringList{"57696 &Font", "32796 Background &Color", "-", "32797 &Default Font and Color"}));
    QCOMPARE(MenuItems(popups[3]->menu()), QStringList{"57664 &About Murmurly"});
    // Everything is enabled but Print, which nothing handles.
    for (QAction* popup : popups)
        for (QAction* item : popup->menu()->actions())
            QCOMPARE(item->isEnabled(), item->data().toInt() != ID_SPEAK_PRINT);

    QStringList buttons;
    for (QAction* action : frame->ToolBar()->actions())
        buttons << (action->isSeparator() ? QStringLiteral("-") : QString::number(action->data().toInt()));
    QCOMPARE(buttons, (QStringList{"32792", "57603", "-", "32796", "57696", "-", "32805"}));
    QCOMPARE(frame->ToolBar()->iconSize(), QSize(16, 15));

    // Close from the menu: the window leaves the list and goes.
    frame->CommandAction(ID_SPEAK_CLOSE)->trigger();
    QVERIFY(!FindSpeakWindow(*f.doc, "bob"));
    QVERIFY(WaitUntil([&] { return frame.isNull(); }));
}

void TestSpeakCommands::LayoutAndMinimumSize()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    QCOMPARE(view->minimumSize(), QSize(460, 260));
    QCOMPARE(QApplication::focusWidget() == nullptr || QApplication::focusWidget() == view->InputBox(), true);
    frame->resize(700, 500);
    QVERIFY(WaitUntil([&] { return view->width() == 700; }));
    const int w = view->width();
    const int h = view->height();
    const QSize send = view->SendButton()->size();
    const int hi = view->InputBox()->height();
    const int ht = view->ToBox()->height();
    QCOMPARE(view->SendButton()->geometry(), QRect(w - send.width() - 10, h - send.height() - 10,
                                                   send.width(), send.height()));
    QCOMPARE(view->InputBox()->geometry(), QRect(10, h - hi - 10, w - send.width() - 30, hi));
    QCOMPARE(view->FontButton()->geometry(), QRect(10, h - hi - 44, 80, 24));
    QCOMPARE(view->ColorButton()->geometry(), QRect(94, h - hi - 44, 80, 24));
    QCOMPARE(view->ConversationBox()->geometry(), QRect(10, ht + 20, w - 20, h - hi - ht - 74));
    // The To and From boxes stay where the form puts them.
    const QRect to = view->ToBox()->geometry();
    frame->resize(480, 400);
    QVERIFY(WaitUntil([&] { return view->width() == 480; }));
    QCOMPARE(view->ToBox()->geometry(), to);
    QCOMPARE(view->ConversationBox()->width(), 460);
    delete frame.data();
}

void TestSpeakCommands::CutAndCopyRules()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->AppendMessage(ReceivedLine("bob", "hello there", "Arial"));
    QClipboard* clipboard = QApplication::clipboard();

    // Nothing selected in the input box: Cut copies the conversation's
    // selection and leaves the conversation as it was.
    clipboard->setText(QStringLiteral("before"));
    Select(view->ConversationBox(), 5, 10);
    frame->CommandAction(ID_SPEAK_CUT)->trigger();
    QCOMPARE(clipboard->text(), QStringLiteral("hello"));
    QCOMPARE(view->ConversationBox()->toPlainText(), QStringLiteral("bob: hello there"));

    // A selection in the input box goes first, whatever has the focus.
    view->InputBox()->setPlainText(QStringLiteral("typed words"));
    Select(view->InputBox(), 0, 5);
    QVERIFY(Focus(view->ToBox()));
    frame->CommandAction(ID_SPEAK_COPY)->trigger();
    QCOMPARE(clipboard->text(), QStringLiteral("typed"));
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("typed words"));
    Select(view->InputBox(), 5, 11);
    frame->CommandAction(ID_SPEAK_CUT)->trigger();
    QCOMPARE(clipboard->text(), QStringLiteral(" words"));
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("typed"));

    // Copy falls back to the conversation; with nothing selected anywhere
    // the clipboard stays.
    Select(view->InputBox(), 0, 0);
    frame->CommandAction(ID_SPEAK_COPY)->trigger();
    QCOMPARE(clipboard->text(), QStringLiteral("hello"));
    Select(view->ConversationBox(), 0, 0);
    clipboard->setText(QStringLiteral("kept"));
    view->OnCopy();
    view->OnCut();
    QCOMPARE(clipboard->text(), QStringLiteral("kept"));
    delete frame.data();
}

void TestSpeakCommands::PasteDeleteAndSelectAllFollowFocus()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->AppendMessage(ReceivedLine("bob", "hello", "Arial"));
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    view->InputBox()->setPlainText(QStringLiteral("abc"));

    // The conversation box has the focus: Paste and Delete do nothing,
    // Select All selects the conversation.
    QVERIFY(Focus(view->ConversationBox()));
    Select(view->InputBox(), 0, 1);
    frame->CommandAction(ID_SPEAK_PASTE)->trigger();
    frame->CommandAction(ID_SPEAK_DELETE)->trigger();
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("abc"));
    QCOMPARE(view->ConversationBox()->toPlainText(), QStringLiteral("bob: hello"));
    frame->CommandAction(ID_SPEAK_SELECT_ALL)->trigger();
    QCOMPARE(view->ConversationBox()->textCursor().selectedText(), QStringLiteral("bob: hello"));
    QCOMPARE(view->InputBox()->textCursor().selectedText(), QStringLiteral("a"));

    // The input box has the focus.
    QVERIFY(Focus(view->InputBox()));
    Select(view->InputBox(), 0, 1);
    frame->CommandAction(ID_SPEAK_DELETE)->trigger();
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("bc"));
    frame->CommandAction(ID_SPEAK_DELETE)->trigger();
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("bc"));
    frame->CommandAction(ID_SPEAK_PASTE)->trigger();
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("pastedbc"));
    frame->CommandAction(ID_SPEAK_SELECT_ALL)->trigger();
    QCOMPARE(view->InputBox()->textCursor().selectedText(), QStringLiteral("pastedbc"));
    // The input box is a single line: only the first pasted line goes in.
    QApplication::clipboard()->setText(QStringLiteral("one\ntwo"));
    frame->CommandAction(ID_SPEAK_PASTE)->trigger();
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("one"));

    // The focus elsewhere: Select All does nothing.
    Select(view->InputBox(), 0, 0);
    QVERIFY(Focus(view->ToBox()));
    view->OnSelectAll();
    QVERIFY(!view->InputBox()->textCursor().hasSelection());
    delete frame.data();
}

void TestSpeakCommands::SaveAndSaveAs()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    CChooserScope choosers;
    QTemporaryDir dir;
    QString answer = dir.filePath(QStringLiteral("talk.txt"));
    int asked = 0;
    choosers->saveFile = [&](QWidget*) -> std::optional<QString> {
        ++asked;
        return answer;
    };
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();

    // Save on an empty conversation refuses; Save As writes an empty file.
    frame->CommandAction(ID_SPEAK_SAVE)->trigger();
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("Nothing to save!")});
    QCOMPARE(asked, 0);
    frame->CommandAction(ID_SPEAK_SAVE_AS)->trigger();
    QCOMPARE(asked, 1);
    QVERIFY(view->IsSaved());
    QCOMPARE(ReadFile(answer), QByteArray());

    // The transcript as UTF-8, lines ended by line feeds, no final one.
    view->AppendMessage(ReceivedLine("bob", "grüße", "Arial"));
    view->InputBox()->setPlainText(QStringLiteral("hi"));
    view->OnSend();
    QVERIFY(f.server.Expect(Cmd::Message));
    frame->CommandAction(ID_SPEAK_SAVE)->trigger();
    QCOMPARE(asked, 1);
    QCOMPARE(ReadFile(answer), QByteArray("bob: gr\xC3\xBC\xC3\x9F" "e\nanna: hi"));

    // Save As always asks, and later Saves go to the new file.
    answer = dir.filePath(QStringLiteral("other.txt"));
    view->OnSaveAs();
    QCOMPARE(asked, 2);
    view->AppendMessage(ReceivedLine("bob", "bye", "Arial"));
    view->OnSave();
    QCOMPARE(view->SavePath(), answer.toStdString());
    QCOMPARE(ReadFile(answer), QByteArray("bob: gr\xC3\xBC\xC3\x9F" "e\nanna: hi\nbob: bye"));
    QCOMPARE(f.boxes.Count(), 1);

    // Cancel in the chooser writes nothing.
    choosers->saveFile = [&](QWidget*) -> std::optional<QString> { return std::nullopt; };
    view->OnSaveAs();
    QCOMPARE(view->SavePath(), answer.toStdString());
    delete frame.data();
}

void TestSpeakCommands::UnwritableFiles()
{
    CSessionFixture f;
    CChooserScope choosers;
    QTemporaryDir dir;
    QString answer = dir.filePath(QStringLiteral("missing/talk.txt"));
    int asked = 0;
    choosers->saveFile = [&](QWidget*) -> std::optional<QString> {
        ++asked;
        return answer;
    };
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->AppendMessage(ReceivedLine("bob", "hello", "Arial"));

    // The file cannot be opened: the path is kept, nothing counts as saved,
    // so the next Save asks again.
    view->OnSave();
    QCOMPARE(asked, 1);
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("File could not be written. Please check permissions.")});
    QCOMPARE(f.boxes.Last().icon, MessageIcon::Exclamation);
    QVERIFY(!view->IsSaved());
    QCOMPARE(view->SavePath(), answer.toStdString());
    view->OnSave();
    QCOMPARE(asked, 2);

    // Opened, then every write fails (a full disk): reported the same way,
    // and a save that once succeeded no longer counts.
    answer = dir.filePath(QStringLiteral("talk.txt"));
    view->OnSaveAs();
    QVERIFY(view->IsSaved());
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        answer = QStringLiteral("/dev/full");
        view->OnSaveAs();
        QCOMPARE(f.boxes.Count(), 3);
        QCOMPARE(f.boxes.Last().text, QStringLiteral("File could not be written. Please check permissions."));
        QVERIFY(!view->IsSaved());
        view->OnSave();
        QCOMPARE(asked, 5);
    }
    delete frame.data();
}

void TestSpeakCommands::BlockRequests_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("command");
    QTest::newRow("permanently") << int(IDYES) << QStringLiteral("bob") << QStringLiteral("BUP");
    QTest::newRow("until log-off") << int(IDNO) << QStringLiteral("bob*") << QStringLiteral("BU");
    QTest::newRow("don't block") << int(IDCANCEL) << QString() << QString();
}

void TestSpeakCommands::BlockRequests()
{
    QFETCH(int, choice);
    QFETCH(QString, entry);
    QFETCH(QString, command);
    CSessionFixture f;
    CChooserScope choosers;
    choosers->block = [&](QWidget*) { return choice; };
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    // The session's own name goes as the sender, not the From box's text.
    frame->View()->FromBox()->setText(QStringLiteral("someone"));
    frame->CommandAction(ID_SPEAK_BLOCK)->trigger();
    if (command.isEmpty()) {
        QVERIFY(f.doc->BlockedUsers().empty());
        QVERIFY(NothingSentBefore(*f.doc, f.server));
    } else {
        QCOMPARE(f.doc->BlockedUsers().size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(f.doc->BlockedUsers().front()->sender), entry);
        QVERIFY(!f.doc->IsBlockedListHeld());
        auto sent = f.server.ExpectRecord();
        QVERIFY(sent);
        CNetMessage expected;
        expected.sender = f.doc->UserName();
        expected.recipient = "bob";
        expected.command = command.toStdString();
        QCOMPARE(WireBytes(*sent), WireBytesAt(std::move(expected), *sent));
    }
    delete frame.data();
}

void TestSpeakCommands::BlockThroughTheConfirmationDialog()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    // The name the window holds is the one in its To box.
    frame->View()->ToBox()->setText(QStringLiteral("carol"));
    bool clicked = false;
    QTimer driver;
    connect(&driver, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<CBlockConfirmDlg*>(QApplication::activeModalWidget());
        if (!dialog || clicked)
            return;
        clicked = true;
        dialog->findChild<QPushButton*>(QStringLiteral("whileLoggedIn"))->click();
    });
    driver.start(20);
    QTimer::singleShot(10s, [] {
        if (auto* dialog = qobject_cast<CModalDialog*>(QApplication::activeModalWidget()))
            dialog->EndDialog(IDCANCEL);
    });
    frame->View()->OnBlockUser();
    QVERIFY(clicked);
    QCOMPARE(f.doc->BlockedUsers().back()->sender, std::string("carol*"));
    auto sent = f.server.Expect(Cmd::BlockUntilLogoff);
    QVERIFY(sent);
    QCOMPARE(sent->recipient, std::string("carol"));
    delete frame.data();
}

QTEST_MAIN(TestSpeakCommands)
#include "tst_speakcommands.moc"
