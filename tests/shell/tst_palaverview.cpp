// The friends list view: fixed items, layout, background colour, opening
// conversation windows, and the commands that talk to the server.
#include "commandids.h"
#include "connectwait.h"
#include "shellfixture.h"
#include "speakwindow.h"
#include "speakwindowframe.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

namespace {

QList<CSpeakWindowFrame*> SpeakFrames()
{
    QList<CSpeakWindowFrame*> frames;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* frame = qobject_cast<CSpeakWindowFrame*>(window); frame && frame->isVisible())
            frames.append(frame);
    return frames;
}

void CloseSpeakFrames()
{
    for (CSpeakWindowFrame* frame : SpeakFrames())
        delete frame;
}

void DoubleClick(QTreeWidget* tree, QTreeWidgetItem* item)
{
    tree->scrollToItem(item);
    const QPoint centre = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, centre);
}

} // namespace

class TestPalaverView : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CloseSpeakFrames(); }
    void FixedItems();
    void LayoutFollowsResize();
    void BackgroundColour();
    void DoubleClickGroupOpensNothing();
    void DoubleClickFriendOpensOneWindow();
    void SendMessageWithGroupSelected();
    void BlockedUsersRequestsList();
    void DisconnectReconnects();
    void LoginWhenServerNotRunning();
    void AutomaticLoginOnlyFromMainFrame();
};

void TestPalaverView::FixedItems()
{
    CShellFixture f;
    QTreeWidget* tree = f.view->TreeControl();
    QVERIFY(tree->isHeaderHidden());
    QCOMPARE(f.view->Caption()->text(), QStringLiteral("Friends List"));
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree->topLevelItem(0);
    QCOMPARE(root->text(0), QStringLiteral("Friends List"));
    QCOMPARE(root->childCount(), 2);
    QTreeWidgetItem* online = root->child(0);
    QTreeWidgetItem* offline = root->child(1);
    QCOMPARE(online->text(0), QStringLiteral("Online Friends"));
    QCOMPARE(offline->text(0), QStringLiteral("Offline Friends"));
    const QList<QPair<QTreeWidgetItem*, int>> kinds{
        {root, KindRoot}, {online, KindOnlineGroup}, {offline, KindOfflineGroup}};
    for (const auto& [item, kind] : kinds) {
        QCOMPARE(item->data(0, kFriendKindRole).toInt(), kind);
        QVERIFY(item->font(0).bold());
        QVERIFY(item->isExpanded());
    }
    QCOMPARE(f.view->FriendsTree()->RootItem(), root);
    QCOMPARE(f.doc->OnlineCount(), 0);

    // The session fills the groups; the list after a login splits them.
    QVERIFY(f.LogIn("anna", {"bob*", "cy"}));
    QCOMPARE(online->text(0), QStringLiteral("Online Friends (1)"));
    QCOMPARE(offline->text(0), QStringLiteral("Offline Friends (1)"));
    QCOMPARE(online->child(0)->text(0), QStringLiteral("bob"));
    QCOMPARE(offline->child(0)->text(0), QStringLiteral("cy"));

    // Emptied, the list leaves the three fixed items and no counts.
    f.doc->ClearFriendsTree();
    QCOMPARE(tree->topLevelItem(0)->childCount(), 2);
    QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 0);
    QCOMPARE(f.doc->OnlineCount(), 0);
    QCOMPARE(f.doc->OfflineCount(), 0);
}

void TestPalaverView::LayoutFollowsResize()
{
    CShellFixture f;
    f.frame->show();
    for (const QSize size : {QSize(300, 600), QSize(420, 500), QSize(250, 700)}) {
        f.frame->resize(size);
        QCoreApplication::processEvents();
        const QRect view = f.view->rect();
        const QRect tree = f.view->TreeControl()->geometry();
        QCOMPARE(tree.left(), 10);
        QCOMPARE(tree.top(), 30);
        QCOMPARE(view.right() - tree.right(), 10);
        QCOMPARE(view.bottom() - tree.bottom(), 10);
    }
}

void TestPalaverView::BackgroundColour()
{
    {
        // Nothing stored: white, in memory only.
        CShellFixture f;
        QCOMPARE(f.doc->Settings().m_nColor, 0xFFFFFFu);
        QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(Qt::white));
        QVERIFY(!QFile::exists(f.home.SettingsFile()));
        // A changed colour shows with hint 1, not with hint 0.
        f.doc->Settings().m_nColor = 0x00FF0000; // blue, as 0x00BBGGRR
        f.view->OnUpdate(0);
        QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(Qt::white));
        f.view->OnUpdate(1);
        QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(0, 0, 255));
    }
    {
        CShellFixture f(true, [] {
            auto store = OpenSettingsRoot();
            store->setValue(QStringLiteral("Settings/ColorFonts/Color"), 0x000080FF); // orange
        });
        QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(0xFF, 0x80, 0x00));
    }
}

void TestPalaverView::DoubleClickGroupOpensNothing()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    f.frame->show();
    QTreeWidget* tree = f.view->TreeControl();
    QTreeWidgetItem* online = tree->topLevelItem(0)->child(0);
    DoubleClick(tree, online);
    QVERIFY(SpeakFrames().isEmpty());
    QVERIFY(f.view->SelectedFriend().empty());
    // The group keeps the tree's own double-click: it collapsed.
    QVERIFY(!online->isExpanded());
    DoubleClick(tree, tree->topLevelItem(0));
    QVERIFY(SpeakFrames().isEmpty());
}

void TestPalaverView::DoubleClickFriendOpensOneWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*", "cy"}));
    f.frame->show();
    QTreeWidget* tree = f.view->TreeControl();
    QTreeWidgetItem* bob = f.FindItem(QStringLiteral("bob"));
    QVERIFY(bob);
    DoubleClick(tree, bob);
    QCOMPARE(f.view->SelectedFriend(), std::string("bob"));
    QCOMPARE(SpeakFrames().size(), 1);
    CSpeakWindowFrame* frame = SpeakFrames().first();
    QCOMPARE(frame->windowTitle(), QStringLiteral("bob -- Instant Message"));
    QCOMPARE(frame->pos(), QPoint(300, 100));
    QCOMPARE(frame->size(), QSize(460, 340));
    CSpeakWindow* window = frame->View();
    QCOMPARE(window->To(), std::string("bob"));
    QCOMPARE(window->From(), std::string("anna"));
    QCOMPARE(FindSpeakWindow(*f.doc, "bob"), static_cast<CSpeakWindowBase*>(window));
    QCOMPARE(f.view->CurrentSpeakWindow(), static_cast<CSpeakWindowBase*>(window));

    // The second double-click brings the same window forward.
    DoubleClick(tree, f.FindItem(QStringLiteral("cy")));
    QCOMPARE(SpeakFrames().size(), 2);
    QCOMPARE(f.view->CurrentSpeakWindow()->To(), std::string("cy"));
    DoubleClick(tree, f.FindItem(QStringLiteral("bob")));
    QCOMPARE(SpeakFrames().size(), 2);
    QCOMPARE(f.view->CurrentSpeakWindow(), static_cast<CSpeakWindowBase*>(window));

    // Closing the window takes it off the session's list.
    frame->close();
    QVERIFY(WaitUntil([&] { return FindSpeakWindow(*f.doc, "bob") == nullptr; }));
}

void TestPalaverView::SendMessageWithGroupSelected()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    QTreeWidget* tree = f.view->TreeControl();
    tree->setCurrentItem(f.FindItem(QStringLiteral("bob")));
    QCOMPARE(f.view->SelectedFriend(), std::string("bob"));
    tree->setCurrentItem(tree->topLevelItem(0)->child(1));
    QVERIFY(f.view->SelectedFriend().empty());
    f.frame->ExecuteCommand(ID_TOOLS_SENDMESSAGE);
    QCOMPARE(SpeakFrames().size(), 1);
    QCOMPARE(SpeakFrames().first()->windowTitle(), QStringLiteral(" -- Instant Message"));
    QCOMPARE(SpeakFrames().first()->View()->To(), std::string());
    // Again: the window without an addressee comes forward; no second one.
    f.frame->ExecuteCommand(ID_TOOLS_SENDMESSAGE);
    QCOMPARE(SpeakFrames().size(), 1);
    // Addressed to bob as it is typed, it is bob's window, title and all.
    QTest::keyClicks(SpeakFrames().first()->View()->ToBox(), QStringLiteral("bob"));
    QCOMPARE(SpeakFrames().first()->windowTitle(), QStringLiteral("bob -- Instant Message"));
    tree->setCurrentItem(f.FindItem(QStringLiteral("bob")));
    f.frame->ExecuteCommand(ID_TOOLS_SENDMESSAGE);
    QCOMPARE(SpeakFrames().size(), 1);
}

void TestPalaverView::BlockedUsersRequestsList()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    QVERIFY(!f.doc->IsBlockedListHeld());
    f.frame->ExecuteCommand(ID_TOOLS_BLOCKEDUSERS);
    auto request = f.server.Expect(Cmd::BlockedList);
    QVERIFY(request);
    QCOMPARE(request->sender, std::string("anna"));
    QVERIFY(request->recipient.empty());
    QVERIFY(request->text.empty());
    QVERIFY(request->names.empty());
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QVERIFY(!RunningDialog<CBlockedUsersDlg>());
    QVERIFY(!QApplication::activeModalWidget());
}

void TestPalaverView::DisconnectReconnects()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    f.frame->ExecuteCommand(ID_FILE_DISCONNECT);
    // Logged off ("X" went on the old connection, which the fake server
    // drops for the new one), connected again, the friends gone.
    QVERIFY(WaitUntil([&] { return f.server.AcceptedCount() == 2; }));
    QVERIFY(WaitForConnect(f.doc->Connection()));
    QVERIFY(!f.doc->IsLoggedIn());
    QCOMPARE(f.Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Login"));
    QVERIFY(!f.Action(ID_FILE_DISCONNECT)->isEnabled());
    QVERIFY(!f.FindItem(QStringLiteral("bob")));
    QCOMPARE(f.frame->windowTitle(), QStringLiteral("Murmurly - Not logged in"));
    QCOMPARE(f.boxes.Count(), 0);
}

void TestPalaverView::LoginWhenServerNotRunning()
{
    CShellFixture f(false);
    f.boxes.Clear();
    f.frame->ExecuteCommand(ID_FILE_CHANGEUSER);
    QVERIFY(f.boxes.WaitForCount(1));
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("Server is not running")});
    QVERIFY(!RunningDialog<CLoginDlg>());
}

void TestPalaverView::AutomaticLoginOnlyFromMainFrame()
{
    CShellFixture f(true, [] {
        auto store = OpenSettingsRoot();
        store->setValue(QStringLiteral("Settings/Login/RememberLogin"), 1);
        store->setValue(QStringLiteral("Settings/Login/AutoLogin"), 1);
        store->setValue(QStringLiteral("Settings/Login/UserName"), QStringLiteral("anna"));
        store->setValue(QStringLiteral("Settings/Login/Password"), QStringLiteral("secret1"));
    });
    // The view's Login: the dialog opens filled in, and sends nothing by itself.
    bool quiet = false;
    QTimer::singleShot(0, [&] {
        CModalDialog* login = RunningDialog<CLoginDlg>();
        QVERIFY(login && login->IsRunning());
        quiet = NothingSentBefore(*f.doc, f.server);
        login->EndDialog(IDCANCEL);
    });
    f.frame->ExecuteCommand(ID_FILE_CHANGEUSER);
    QVERIFY(quiet);
    QVERIFY(!RunningDialog<CLoginDlg>());

    // The main frame's Change User (start-up's) logs in at once.
    QTimer::singleShot(0, [&] {
        auto login = f.server.Expect(Cmd::Login);
        QVERIFY(login);
        QCOMPARE(login->sender, std::string("anna"));
        QCOMPARE(login->recipient, std::string("secret1"));
        if (CModalDialog* dialog = RunningDialog<CLoginDlg>())
            dialog->EndDialog(IDCANCEL);
    });
    f.frame->OnChangeUser();
    QVERIFY(!RunningDialog<CLoginDlg>());
}

QTEST_MAIN(TestPalaverView)
#include "tst_palaverview.moc"
