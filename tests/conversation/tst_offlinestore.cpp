// The offline message store through the whole client (session, friends list
// view, offline messages window) against a fake server: "O" kept, and
// echoed byte for byte as "ON" only when deleted, "OL" opening one window,
// the Offline Messages command, Reply, and log-off.
#include "commandids.h"
#include "offlinemessageswnd.h"
#include "shellfixture.h"
#include "speakwindow.h"
#include "wire.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>

namespace {

// An "O" as the server sends it: every field set, so that the echo shows
// which fields went back unchanged.
CNetMessage Stored(const char* sender, const char* text, int32_t time, const char* id)
{
    CNetMessage msg = Record(Cmd::OfflineMessage, sender, "anna", {id});
    msg.text = text;
    msg.time = time;
    msg.faceName = "Arial";
    msg.size = 200;
    msg.color = 0x00336699;
    msg.font.lfWeight = 700;
    msg.font.lfItalic = 1;
    msg.font.lfCharSet = 0;
    msg.font.lfPitchAndFamily = 34;
    return msg;
}

// Injects the "O" and waits until the session has kept it.
bool Store(CShellFixture& f, const CNetMessage& stored)
{
    const std::size_t before = f.doc->OfflineMessages().size();
    f.server.Inject(stored);
    return WaitUntil([&] { return f.doc->OfflineMessages().size() == before + 1; });
}

// The acknowledgement of a deleted message is the record itself, byte for
// byte, with the own name as sender and "ON" as command.
bool ExpectEcho(CShellFixture& f, const CNetMessage& stored)
{
    CNetMessage echo(stored);
    echo.names = stored.names;
    echo.faceName = stored.faceName;
    echo.font = stored.font;
    echo.sender = f.doc->UserName();
    echo.command = Cmd::OfflineAck;
    const std::string expected = EncodeRecord(echo);
    const std::string bytes = f.server.ExpectBytes(expected.size());
    if (bytes != expected)
        qWarning("echo differs: %zu of %zu bytes", bytes.size(), expected.size());
    return bytes == expected;
}

int OfflineWindowCount()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<COfflineMessagesFrameWnd*>(widget))
            ++count;
    return count;
}

CListPane* OpenList(CShellFixture& f)
{
    return qobject_cast<CListPane*>(f.view->OfflineMessagesWindow());
}

COfflineMessagesFrameWnd* Frame(CListPane* list)
{
    return list ? qobject_cast<COfflineMessagesFrameWnd*>(list->window()) : nullptr;
}

bool StoreThree(CShellFixture& f)
{
    return Store(f, Stored("bob", "one", 1000, "11")) && Store(f, Stored("cy", "two", 2000, "12")) &&
           Store(f, Stored("bob", "three", 3000, "13"));
}

} // namespace

class TestOfflineStore : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void ThreeStoredThenEnd();
    void EndWithEmptyStoreDoesNothing();
    void CommandOpensOneWindow();
    void RecordsWhileOpenWaitForNextOpening();
    void ReplyOpensOrRaisesConversation();
    void EnterInTextBoxReplies();
    void LogoffEmptiesStoreAndClosesWindow();
    void HelpAboutShowsAboutBox();
};

void TestOfflineStore::cleanup()
{
    // Windows without owner outlive a test's fixture otherwise.
    QList<QPointer<QWidget>> windows;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<COfflineMessagesFrameWnd*>(widget) || widget->findChild<CSpeakWindow*>())
            windows.append(widget);
    for (const QPointer<QWidget>& window : windows)
        delete window.data();
}

void TestOfflineStore::ThreeStoredThenEnd()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(StoreThree(f));
    QVERIFY(!f.view->OfflineMessagesWindow());

    // Kept as partial copies, in arrival order.
    const auto& store = f.doc->OfflineMessages();
    QCOMPARE(store.size(), std::size_t(3));
    QCOMPARE(store[2]->text, std::string("three"));
    QCOMPARE(store[0]->time, 1000);
    QCOMPARE(store[0]->color, 0x00336699u);
    QCOMPARE(store[0]->size, 200);
    QVERIFY(store[0]->names.empty());
    QVERIFY(store[0]->faceName.empty());

    f.server.Inject(Record(Cmd::OfflineEnd, {}, "anna"));
    QVERIFY(WaitUntil([&] { return OpenList(f) != nullptr; }));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    CListPane* list = OpenList(f);
    COfflineMessagesFrameWnd* frame = Frame(list);
    QVERIFY(frame);
    QCOMPARE(frame->windowTitle(), QStringLiteral("Offline Messages -- anna"));
    QCOMPARE(frame->pos(), QPoint(400, 300));
    QCOMPARE(frame->size(), QSize(545, 400));
    QVERIFY(frame->isVisible());
    QCOMPARE(list->List()->topLevelItemCount(), 3);
    const QStringList senders{QStringLiteral("bob"), QStringLiteral("cy"), QStringLiteral("bob")};
    const QStringList texts{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")};
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(list->List()->topLevelItem(row)->text(0), senders[row]);
        QCOMPARE(list->List()->topLevelItem(row)->text(1), texts[row]);
    }
    QCOMPARE(list->SelectedRow(), 0);
    QCOMPARE(frame->TextPane()->TextBox()->toPlainText(), QStringLiteral("one"));
    QVERIFY(frame->TextPane()->DeleteButton()->isEnabled());
    QVERIFY(frame->TextPane()->ReplyButton()->isEnabled());
    QCOMPARE(OfflineWindowCount(), 1);

    // Nothing was acknowledged until now; Delete acknowledges the one message.
    frame->TextPane()->DeleteButton()->click();
    QVERIFY(ExpectEcho(f, Stored("bob", "one", 1000, "11")));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestOfflineStore::EndWithEmptyStoreDoesNothing()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    f.server.Inject(Record(Cmd::OfflineEnd, "server", "anna", {"5"}));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QVERIFY(f.doc->OfflineMessages().empty());
    QVERIFY(!f.view->OfflineMessagesWindow());
    QCOMPARE(OfflineWindowCount(), 0);
    QVERIFY(f.boxes.Texts().isEmpty());
}

void TestOfflineStore::CommandOpensOneWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    // An empty store: an empty window with nothing to act on.
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    CListPane* list = OpenList(f);
    QVERIFY(list);
    COfflineMessagesFrameWnd* frame = Frame(list);
    QCOMPARE(list->List()->topLevelItemCount(), 0);
    QVERIFY(frame->TextPane()->TextBox()->toPlainText().isEmpty());
    QVERIFY(!frame->TextPane()->DeleteButton()->isEnabled());
    QVERIFY(!frame->TextPane()->ReplyButton()->isEnabled());
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    QCOMPARE(OpenList(f), list);
    QCOMPARE(OfflineWindowCount(), 1);

    // Closed, the reference goes at once; the next command makes a new
    // window in the first one's place, filled from the store as it is now.
    QVERIFY(Store(f, Stored("bob", "later", 5, "1")));
    frame->move(10, 10);
    QPointer<COfflineMessagesFrameWnd> old = frame;
    QVERIFY(frame->close());
    QVERIFY(!f.view->OfflineMessagesWindow());
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    QVERIFY(WaitUntil([&] { return old.isNull(); }));
    list = OpenList(f);
    QVERIFY(list);
    QCOMPARE(Frame(list)->pos(), QPoint(400, 300));
    QCOMPARE(Frame(list)->size(), QSize(545, 400));
    QCOMPARE(list->List()->topLevelItemCount(), 1);
    QCOMPARE(OfflineWindowCount(), 1);
}

void TestOfflineStore::RecordsWhileOpenWaitForNextOpening()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(Store(f, Stored("bob", "one", 1, "1")));
    f.server.Inject(Record(Cmd::OfflineEnd, {}, "anna"));
    QVERIFY(WaitUntil([&] { return OpenList(f) != nullptr; }));
    CListPane* list = OpenList(f);
    QVERIFY(Store(f, Stored("cy", "two", 2, "2")));
    f.server.Inject(Record(Cmd::OfflineEnd, {}, "anna"));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QCOMPARE(OpenList(f), list);
    QCOMPARE(list->List()->topLevelItemCount(), 1);
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(2));
}

void TestOfflineStore::ReplyOpensOrRaisesConversation()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(StoreThree(f));
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    CListPane* list = OpenList(f);
    QVERIFY(list);
    QVERIFY(QTest::qWaitForWindowExposed(Frame(list)));
    QTreeWidget* tree = list->List();
    QTreeWidgetItem* cy = tree->topLevelItem(1);
    // A double click as the user makes it: the first click, then the second.
    const QPoint center = tree->visualItemRect(cy).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, center);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, center);
    CSpeakWindowBase* speak = FindSpeakWindow(*f.doc, "cy");
    QVERIFY(speak);
    QCOMPARE(speak->window()->windowTitle(), QStringLiteral("cy -- Instant Message"));

    // Reply on the same sender brings the open conversation forward.
    Frame(list)->TextPane()->ReplyButton()->click();
    QCOMPARE(FindSpeakWindow(*f.doc, "cy"), speak);
    int conversations = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        conversations += widget->findChild<CSpeakWindow*>() ? 1 : 0;
    QCOMPARE(conversations, 1);
    // The message stays.
    QCOMPARE(tree->topLevelItemCount(), 3);
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(3));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestOfflineStore::EnterInTextBoxReplies()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(Store(f, Stored("bob", "one", 1, "1")));
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    CListPane* list = OpenList(f);
    QVERIFY(list);
    CTextPane* text = Frame(list)->TextPane();
    QTest::keyClick(text->TextBox(), Qt::Key_Return);
    QVERIFY(FindSpeakWindow(*f.doc, "bob"));
    QCOMPARE(text->TextBox()->toPlainText(), QStringLiteral("one"));

    // With Reply disabled Enter does nothing, and adds no second line.
    delete FindSpeakWindow(*f.doc, "bob")->window();
    text->DeleteButton()->click();
    QVERIFY(!text->ReplyButton()->isEnabled());
    QTest::keyClick(text->TextBox(), Qt::Key_Enter);
    QVERIFY(!FindSpeakWindow(*f.doc, "bob"));
    QVERIFY(text->TextBox()->toPlainText().isEmpty());
}

void TestOfflineStore::LogoffEmptiesStoreAndClosesWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(StoreThree(f));
    f.server.Inject(Record(Cmd::OfflineEnd, {}, "anna"));
    QVERIFY(WaitUntil([&] { return OpenList(f) != nullptr; }));
    QPointer<COfflineMessagesFrameWnd> frame = Frame(OpenList(f));
    f.doc->SaveModified();
    QVERIFY(f.doc->OfflineMessages().empty());
    QVERIFY(!f.view->OfflineMessagesWindow());
    // Its rows stood for the old store: left open, Delete would remove the
    // next login's messages.
    QVERIFY(WaitUntil([&] { return frame.isNull(); }));
}

void TestOfflineStore::HelpAboutShowsAboutBox()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    COfflineMessagesFrameWnd* frame = Frame(OpenList(f));
    QVERIFY(frame);
    QAction* about = frame->menuBar()->actions().at(0)->menu()->actions().at(0);
    // The About box runs modally: it is closed from inside its loop, and a
    // guard closes whatever is still open so the test never hangs.
    QString shown;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            shown = dialog->windowTitle();
            dialog->reject();
        }
    });
    closer.start(20);
    QTimer::singleShot(10s, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    about->trigger();
    QCOMPARE(shown, QStringLiteral("About Murmurly"));
}

QTEST_MAIN(TestOfflineStore)
#include "tst_offlinestore.moc"
