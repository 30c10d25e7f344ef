// The main window: size, title, menu, toolbar, status bar, command enabling
// logged out and logged in, Change User without a connection, shutdown.
#include "aboutdlg.h"
#include "childframe.h"
#include "clientsocket.h"
#include "commandids.h"
#include "shellfixture.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>

namespace {

struct CMenuLine
{
    QString path;
    int id; // 0: separator or submenu
};

void Collect(QMenu* menu, const QString& prefix, QList<CMenuLine>& out)
{
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            out.append({prefix + QStringLiteral("-"), 0});
        else if (action->menu())
            Collect(action->menu(), prefix + action->text() + QStringLiteral("/"), out);
        else
            out.append({prefix + action->text(), action->data().toInt()});
    }
}

} // namespace

class TestMainFrame : public QObject
{
    Q_OBJECT

private slots:
    void SizeAndTitle();
    void MenuItemsAndIds();
    void ToolbarAndPrompts();
    void CommandsLoggedOut();
    void CommandsLoggedIn();
    void ViewTogglesRestoreBars();
    void ChangeUserWithoutConnection();
    void AboutBox();
    void CloseLogsOff();
    void ExitWritesQueuedLogoff();
};

void TestMainFrame::SizeAndTitle()
{
    CShellFixture f;
    QCOMPARE(f.frame->size(), QSize(300, 600));
    QCOMPARE(f.frame->windowTitle(), QStringLiteral("Murmurly - Not logged in"));
    QVERIFY(f.LogIn("anna"));
    QCOMPARE(f.frame->windowTitle(), QStringLiteral("Murmurly - anna"));
    // The friends list fills the window below the bars.
    QCOMPARE(f.frame->centralWidget(), static_cast<QWidget*>(f.frame->ChildFrame()));
}

void TestMainFrame::MenuItemsAndIds()
{
    CShellFixture f;
    f.LogIn("anna");
    QList<CMenuLine> lines;
    for (QAction* top : f.frame->menuBar()->actions())
        Collect(top->menu(), top->text() + QStringLiteral("/"), lines);
    const QList<CMenuLine> expected{
        {QStringLiteral("&File/&Change User"), ID_FILE_CHANGEUSER},
        {QStringLiteral("&File/&Disconnect"), 32775},
        {QStringLiteral("&File/-"), 0},
        {QStringLiteral("&File/&Preferences"), 32778},
        {QStringLiteral("&File/-"), 0},
        {QStringLiteral("&File/E&xit"), 57665},
        {QStringLiteral("&View/&Toolbar"), 59392},
        {QStringLiteral("&View/&Status Bar"), 59393},
        {QStringLiteral("&Tools/&Send Message"), 32783},
        {QStringLiteral("&Tools/Off&line Messages"), 32772},
        {QStringLiteral("&Tools/-"), 0},
        {QStringLiteral("&Tools/Change &Password"), 32774},
        {QStringLiteral("&Tools/-"), 0},
        {QStringLiteral("&Tools/&Friends List/&Add a Friend"), 32773},
        {QStringLiteral("&Tools/&Friends List/&Delete Friend(s)"), 32776},
        {QStringLiteral("&Tools/&Blocked Users List"), 32808},
        {QStringLiteral("&Help/&About Murmurly..."), 57664},
    };
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QCOMPARE(lines[i].path, expected[i].path);
        QCOMPARE(lines[i].id, expected[i].id);
    }
}

void TestMainFrame::ToolbarAndPrompts()
{
    CShellFixture f;
    QList<int> ids;
    for (QAction* action : f.frame->ToolBar()->actions())
        ids.append(action->isSeparator() ? 0 : action->data().toInt());
    QCOMPARE(ids, (QList<int>{32771, 32783, 32773, 0, 32778, 0, 57664}));
    QCOMPARE(f.frame->toolBarArea(f.frame->ToolBar()), Qt::TopToolBarArea);

    QCOMPARE(f.Action(32772)->statusTip(), QStringLiteral("Click to view offline messages"));
    QCOMPARE(f.Action(32775)->statusTip(), QStringLiteral("Disconnect from Server"));
    QCOMPARE(f.Action(32778)->statusTip(), QStringLiteral("Set Murmurly Preferences here"));
    QCOMPARE(f.Action(32808)->statusTip(), QStringLiteral("Edit Permanently Blocked Users List"));
    QCOMPARE(f.Action(57665)->statusTip(), QStringLiteral("Quit the application; prompts to save documents"));
    QCOMPARE(f.Action(57665)->toolTip(), QStringLiteral("Exit"));
    QCOMPARE(f.Action(59392)->statusTip(), QStringLiteral("Show or hide the toolbar"));
    QCOMPARE(f.Action(59392)->toolTip(), QStringLiteral("Toggle ToolBar"));
    QCOMPARE(f.Action(59393)->statusTip(), QStringLiteral("Show or hide the status bar"));
    QCOMPARE(f.Action(59393)->toolTip(), QStringLiteral("Toggle StatusBar"));
    for (int id : {32771, 32773, 32774, 32776, 32783})
        QVERIFY2(f.Action(id)->statusTip().isEmpty(), qPrintable(QString::number(id)));

    QCOMPARE(f.frame->statusBar()->currentMessage(), QStringLiteral("Ready"));
    // The message pane alone: no panes beside it to cut the prompts short.
    QVERIFY(f.frame->statusBar()->findChildren<QLabel*>().isEmpty());
    f.frame->statusBar()->showMessage(QStringLiteral("Disconnect from Server"));
    f.frame->statusBar()->clearMessage();
    QCOMPARE(f.frame->statusBar()->currentMessage(), QStringLiteral("Ready"));
}

void TestMainFrame::CommandsLoggedOut()
{
    CShellFixture f;
    f.frame->UpdateCommands();
    QCOMPARE(f.Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Login"));
    QVERIFY(f.Action(ID_FILE_CHANGEUSER)->isEnabled());
    QVERIFY(f.Action(ID_FILE_PREFERENCES)->isEnabled());
    for (int id : {32772, 32773, 32774, 32775, 32776, 32783, 32808})
        QVERIFY2(!f.Action(id)->isEnabled(), qPrintable(QString::number(id)));

    // A disabled command does nothing even when asked for directly.
    f.frame->ExecuteCommand(ID_TOOLS_BLOCKEDUSERS);
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestMainFrame::CommandsLoggedIn()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*", "cy"}));
    // The session's state change re-checks the commands.
    QCOMPARE(f.Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Change User"));
    for (int id : {32771, 32772, 32773, 32774, 32775, 32776, 32778, 32783, 32808})
        QVERIFY2(f.Action(id)->isEnabled(), qPrintable(QString::number(id)));
}

void TestMainFrame::ViewTogglesRestoreBars()
{
    CShellFixture f;
    f.frame->show();
    QToolBar* toolbar = f.frame->ToolBar();
    const QList<QAction*> before = toolbar->actions();
    f.Action(ID_VIEW_TOOLBAR)->trigger();
    QVERIFY(!toolbar->isVisible());
    QVERIFY(!f.Action(ID_VIEW_TOOLBAR)->isChecked());
    f.Action(ID_VIEW_TOOLBAR)->trigger();
    QVERIFY(toolbar->isVisible());
    QVERIFY(f.Action(ID_VIEW_TOOLBAR)->isChecked());
    QCOMPARE(toolbar->actions(), before);

    f.Action(ID_VIEW_STATUS_BAR)->trigger();
    QVERIFY(!f.frame->statusBar()->isVisible());
    f.Action(ID_VIEW_STATUS_BAR)->trigger();
    QVERIFY(f.frame->statusBar()->isVisible());
}

void TestMainFrame::ChangeUserWithoutConnection()
{
    // Start-up's Change User with the server out of reach: the session
    // tries again by itself, and the login dialog opens meanwhile, no box.
    CShellFixture f(false);
    QVERIFY(!f.doc->IsConnected());
    QVERIFY(f.doc->IsWaitingForServer());
    int shown = 0;
    const auto cancel = f.CancelLoginDialogs(shown);
    f.frame->OnChangeUser();
    QCOMPARE(shown, 1);
    QCOMPARE(f.boxes.Count(), 0);
    QVERIFY(f.frame->statusBar()->currentMessage().startsWith(QStringLiteral("Cannot reach the server")));
}

void TestMainFrame::AboutBox()
{
    CAboutDlg about;
    QCOMPARE(about.windowTitle(), QStringLiteral("About Murmurly"));
    auto* version = about.findChild<QLabel*>(QStringLiteral("version"));
    QVERIFY(version);
    QCOMPARE(version->text(), QStringLiteral("Murmurly Version 1.0"));
    auto* icon = about.findChild<QLabel*>(QStringLiteral("icon"));
    QVERIFY(icon && !icon->pixmap().isNull());
    const auto buttons = about.findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons.first()->text(), QStringLiteral("OK"));
    QVERIFY(buttons.first()->isDefault());
    // One size, and room for the whole bold caption beside icon and buttons.
    QFont bold = about.font();
    bold.setBold(true);
    QCOMPARE(about.minimumSize(), about.maximumSize());
    QVERIFY(!(about.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(about.width() >= QFontMetrics(bold).horizontalAdvance(about.windowTitle()) + 100);
    about.show();
    buttons.first()->click();
    QCOMPARE(about.result(), int(QDialog::Accepted));
}

void TestMainFrame::CloseLogsOff()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    bool closed = false;
    QObject::connect(f.frame.get(), &CMainFrame::Closed, [&] { closed = true; });
    f.frame->show();
    f.Action(ID_APP_EXIT)->trigger();
    auto bye = f.server.Expect(Cmd::Logoff);
    QVERIFY(bye);
    QCOMPARE(bye->sender, std::string("anna"));
    QCOMPARE(bye->recipient, std::string("anna"));
    QVERIFY(closed);
    QVERIFY(!f.doc->IsLoggedIn());
    QVERIFY(!f.doc->IsConnected());
}

// The program ends right after its main window closes: the "X" still waiting
// out the send pause is written when the session goes, even with a record
// from the server unread, and arrives before the connection closes.
void TestMainFrame::ExitWritesQueuedLogoff()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    f.doc->Connection().Socket()->SetSendPause(1h);
    QVERIFY(f.doc->Connection().Send(Record(Cmd::BlockedList, "anna")));
    f.frame->show();
    f.Action(ID_APP_EXIT)->trigger();
    QVERIFY(f.server.Inject(Record(Cmd::FriendOnline, "bob")));
    // No event loop from here on, as after the main loop has returned.
    f.frame.reset();
    f.doc.reset();
    QVERIFY(f.server.Expect(Cmd::BlockedList));
    auto bye = f.server.Expect(Cmd::Logoff);
    QVERIFY(bye);
    QCOMPARE(bye->sender, std::string("anna"));
    QVERIFY(f.server.WaitForClientClosed());
}

QTEST_MAIN(TestMainFrame)
#include "tst_mainframe.moc"
