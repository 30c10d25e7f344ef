// The blocked users answers ("B", "SB") with the dialog that "B" runs and
// that "SB" ends from inside its own modal run, and the offline message
// store: "O" kept, echoed only when deleted, "OL" opening the window.

#include "scratchsettings.h"
#include "sessionrig.h"
#include "waits.h"
#include "wire.h"

#include <QtTest>

using namespace std::chrono_literals;

class TestBlockedOffline : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void blockedListRunsDialogThatUnblockEnds();
    void emptyBlockedAnswerKeepsList();
    void unblockWithoutDialogIsIgnored();
    void blockCommandAddsEntry();

    void offlineMessageIsKeptThenEchoedWhenDeleted();
    void threeMessagesThenEndOpenOneFilledWindow();
    void endWithEmptyStoreDoesNothing();
    void endWhileWindowOpenBringsItForward();
    void windowThatCannotBeMadeKeepsMessages();
    void removeByPosition();
    void logoffEmptiesStore();

private:
    CPalaverDoc& Doc() { return *m_rig->m_pDoc; }
    CFakeView& View() { return *m_rig->m_pView; }
    CFakeServer& Server() { return *m_rig->m_pServer; }
    CMessageBoxInterceptor& Boxes() { return *m_rig->m_pBoxes; }
    std::vector<std::string> BlockedNames() const;

    std::unique_ptr<CSessionRig> m_rig;
};

void TestBlockedOffline::init()
{
    m_rig = std::make_unique<CSessionRig>();
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*"}));
}

void TestBlockedOffline::cleanup()
{
    m_rig.reset();
}

std::vector<std::string> TestBlockedOffline::BlockedNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : m_rig->m_pDoc->BlockedUsers())
        names.push_back(entry->sender);
    return names;
}

void TestBlockedOffline::blockedListRunsDialogThatUnblockEnds()
{
    // The dialog sends "BUR" and hides; the server's "SB" is handled inside
    // the dialog's run, which itself runs inside the handling of "B".
    bool visibleAtBox = false;
    QPointer<CFakeModalDlg> running;
    Boxes().SetOnShow([&](const CMessageBoxRequest&) { visibleAtBox = running && running->isVisible(); });
    View().m_onBlockedInit = [&](CFakeModalDlg& dlg) {
        running = &dlg;
        QMetaObject::invokeMethod(
            &Doc(),
            [&] {
                Doc().Send(Record("BUR", "ann", {}, {"amy*"}));
                if (running)
                    running->hide();
                Server().Expect("BUR");
                Server().Inject(Record("SB"));
            },
            Qt::QueuedConnection);
    };
    Server().Inject(Record("B", {}, "ann", {"zed", "amy*", "bob"}));
    QVERIFY(WaitUntil([&] { return View().m_blockedResults.size() == 1; }));
    QCOMPARE(View().m_blockedRuns.size(), std::size_t(1));
    QCOMPARE(View().m_blockedRuns[0], (std::vector<std::string>{"zed", "amy*", "bob"}));
    QCOMPARE(View().m_blockedResults[0], 0);
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("The selected users are now unblocked")});
    QVERIFY(visibleAtBox);
    QVERIFY(Doc().BlockedUsers().empty());
    QVERIFY(!Doc().IsBlockedListHeld());
    QVERIFY(!Doc().IsBlockedUsersOpen());
}

void TestBlockedOffline::emptyBlockedAnswerKeepsList()
{
    View().m_onBlockedInit = [](CFakeModalDlg& dlg) {
        QMetaObject::invokeMethod(
            &dlg, [&dlg] { dlg.EndDialog(IDCANCEL); }, Qt::QueuedConnection);
    };
    Server().Inject(Record("B", {}, "ann", {"zed"}));
    QVERIFY(WaitUntil([&] { return View().m_blockedResults.size() == 1; }));
    QVERIFY(Doc().IsBlockedListHeld());
    QCOMPARE(BlockedNames(), std::vector<std::string>{"zed"});

    // A second list replaces the first.
    Server().Inject(Record("B", {}, "ann", {"amy", "cy*"}));
    QVERIFY(WaitUntil([&] { return View().m_blockedResults.size() == 2; }));
    QCOMPARE(BlockedNames(), (std::vector<std::string>{"amy", "cy*"}));

    // An empty one keeps it; the dialog still shows what is held.
    Doc().EmptyBlockedList();
    Doc().AddBlockedUser("kim");
    Server().Inject(Record("B", {}, "ann"));
    QVERIFY(WaitUntil([&] { return View().m_blockedResults.size() == 3; }));
    QCOMPARE(BlockedNames(), std::vector<std::string>{"kim"});
    QVERIFY(!Doc().IsBlockedListHeld());
    QCOMPARE(View().m_blockedRuns[2], std::vector<std::string>{"kim"});
    QCOMPARE(View().m_blockedResults[2], int(IDCANCEL));
}

void TestBlockedOffline::unblockWithoutDialogIsIgnored()
{
    Doc().AddBlockedUser("kim");
    QVERIFY(m_rig->InjectAndSettle(Record("SB")));
    // A dialog that was open and has closed.
    Doc().SetBlockedUsersOpen(true);
    Doc().SetBlockedUsersOpen(false);
    QVERIFY(m_rig->InjectAndSettle(Record("SB")));
    QCOMPARE(Boxes().Count(), 0);
    QCOMPARE(BlockedNames(), std::vector<std::string>{"kim"});
}

void TestBlockedOffline::blockCommandAddsEntry()
{
    Doc().AddBlockedUser("kim*");
    Doc().AddBlockedUser("lee");
    QCOMPARE(BlockedNames(), (std::vector<std::string>{"kim*", "lee"}));
    QVERIFY(!Doc().IsBlockedListHeld());
    Doc().EmptyBlockedList();
    QVERIFY(Doc().BlockedUsers().empty());
}

void TestBlockedOffline::offlineMessageIsKeptThenEchoedWhenDeleted()
{
    CNetMessage msg = Record("O", "bob", "ann", {"n1", "n2"});
    msg.text = "while you were out";
    msg.time = 1234567;
    msg.faceName = "Arial";
    msg.font.lfWidth = 3;
    msg.font.lfWeight = 700;
    msg.font.lfUnderline = 1;
    msg.font.lfPitchAndFamily = 34;
    msg.color = 0x00112233;
    msg.size = 260;
    QVERIFY(m_rig->InjectAndSettle(msg));
    QVERIFY(NothingSentBefore(Doc(), Server()));

    QCOMPARE(Doc().OfflineMessages().size(), std::size_t(1));
    const CNetMessage& kept = *Doc().OfflineMessages()[0];
    QCOMPARE(kept.sender, std::string("bob"));
    QCOMPARE(kept.recipient, std::string("ann"));
    QCOMPARE(kept.command, std::string("O"));
    QCOMPARE(kept.text, msg.text);
    QCOMPARE(kept.time, 1234567);
    QCOMPARE(kept.color, 0x00112233u);
    QCOMPARE(kept.size, 260);
    // The store keeps the record's own partial copy.
    QVERIFY(kept.names.empty());
    QVERIFY(kept.faceName.empty());
    QCOMPARE(kept.font, CLogFont());
    QCOMPARE(View().m_nOfflineWindowsCreated, 0);

    // Deleted, the record goes back with the own name and "ON"; everything
    // else, the names and the font included, as it came.
    Doc().RemoveOfflineMessage(0);
    CNetMessage echo = CNetMessage::FullCopy(msg);
    echo.sender = "ann";
    echo.command = "ON";
    QVERIFY(m_rig->ExpectExactly(echo));
}

void TestBlockedOffline::threeMessagesThenEndOpenOneFilledWindow()
{
    for (const char* sender : {"bob", "cy", "dan"})
        Server().Inject(Record("O", sender, "ann"));
    Server().Inject(Record("OL", {}, "ann"));
    QVERIFY(WaitUntil([&] { return View().m_offlineFills.size() == 1; }));
    QVERIFY(NothingSentBefore(Doc(), Server()));
    QCOMPARE(View().m_nOfflineWindowsCreated, 1);
    QCOMPARE(View().m_offlineFills[0], (std::vector<std::string>{"bob", "cy", "dan"}));
    QVERIFY(View().m_pOfflineWnd);
    QVERIFY(View().m_pOfflineWnd->isVisible());
    QCOMPARE(Boxes().Count(), 0);
}

void TestBlockedOffline::endWithEmptyStoreDoesNothing()
{
    QVERIFY(m_rig->InjectAndSettle(Record("OL", "srv", "ann")));
    QVERIFY(NothingSentBefore(Doc(), Server()));
    QVERIFY(Doc().OfflineMessages().empty());
    QCOMPARE(View().m_nOfflineWindowsCreated, 0);
    QCOMPARE(Boxes().Count(), 0);

    // The command opens the window all the same, empty.
    Doc().ShowOfflineMessages();
    QCOMPARE(View().m_nOfflineWindowsCreated, 1);
    QCOMPARE(View().m_offlineFills, std::vector<std::vector<std::string>>{{}});
}

void TestBlockedOffline::endWhileWindowOpenBringsItForward()
{
    Server().Inject(Record("O", "bob", "ann"));
    Server().Inject(Record("OL"));
    QVERIFY(WaitUntil([&] { return View().m_offlineFills.size() == 1; }));
    View().m_pOfflineWnd->hide();

    // Kept, but not added to the open window.
    Server().Inject(Record("O", "cy", "ann"));
    Server().Inject(Record("OL"));
    QVERIFY(WaitUntil([&] { return View().m_pOfflineWnd->isVisible(); }));
    QCOMPARE(View().m_nOfflineWindowsCreated, 1);
    QCOMPARE(View().m_offlineFills.size(), std::size_t(1));
    QCOMPARE(Doc().OfflineMessages().size(), std::size_t(2));

    // Closed (gone), the next request makes a new one with everything.
    View().m_offlineWindows.clear();
    QVERIFY(View().m_pOfflineWnd.isNull());
    Doc().ShowOfflineMessages();
    QCOMPARE(View().m_nOfflineWindowsCreated, 2);
    QCOMPARE(View().m_offlineFills.back(), (std::vector<std::string>{"bob", "cy"}));
}

void TestBlockedOffline::windowThatCannotBeMadeKeepsMessages()
{
    View().m_bFailOfflineWindow = true;
    Server().Inject(Record("O", "bob", "ann"));
    Server().Inject(Record("OL"));
    QVERIFY(Boxes().WaitForCount(1));
    QCOMPARE(Boxes().Last().text,
             QStringLiteral("Could not create offline messages dialog due to internal error"));
    QCOMPARE(Doc().OfflineMessages().size(), std::size_t(1));
    QVERIFY(View().m_pOfflineWnd.isNull());
    QVERIFY(View().m_offlineFills.empty());
}

void TestBlockedOffline::removeByPosition()
{
    // Each message's id, as the server sends it in names, is its sender here.
    for (const char* sender : {"bob", "cy", "dan"})
        Server().Inject(Record("O", sender, "ann", {sender}));
    QVERIFY(WaitUntil([&] { return Doc().OfflineMessages().size() == 3; }));
    Doc().RemoveOfflineMessage(1);
    Doc().RemoveOfflineMessage(2);
    Doc().RemoveOfflineMessage(std::size_t(-1));
    QCOMPARE(Doc().OfflineMessages().size(), std::size_t(2));
    QCOMPARE(Doc().OfflineMessages()[0]->sender, std::string("bob"));
    QCOMPARE(Doc().OfflineMessages()[1]->sender, std::string("dan"));
    // Only the message that went is acknowledged, and the acknowledgements
    // keep pace with the positions.
    QVERIFY(m_rig->ExpectBuilt(Record("ON", "ann", "ann", {"cy"})));
    Doc().RemoveOfflineMessage(1);
    QVERIFY(m_rig->ExpectBuilt(Record("ON", "ann", "ann", {"dan"})));
    QCOMPARE(Doc().OfflineMessages()[0]->sender, std::string("bob"));
    // The log-off's clearing acknowledges nothing.
    Doc().ClearOfflineMessages();
    QVERIFY(Doc().OfflineMessages().empty());
    QVERIFY(NothingSentBefore(Doc(), Server()));
}

void TestBlockedOffline::logoffEmptiesStore()
{
    Server().Inject(Record("O", "bob", "ann"));
    Server().Inject(Record("B", {}, "ann", {"zed"}));
    View().m_onBlockedInit = [](CFakeModalDlg& dlg) {
        QMetaObject::invokeMethod(
            &dlg, [&dlg] { dlg.EndDialog(IDCANCEL); }, Qt::QueuedConnection);
    };
    QVERIFY(WaitUntil([&] { return View().m_blockedResults.size() == 1; }));
    QCOMPARE(Doc().OfflineMessages().size(), std::size_t(1));
    QVERIFY(Doc().SaveModified());
    QVERIFY(Doc().OfflineMessages().empty());
    QVERIFY(Doc().BlockedUsers().empty());
    QVERIFY(!Doc().IsBlockedListHeld());
}

SESSION_TEST_MAIN(TestBlockedOffline)
#include "tst_blockedoffline.moc"
