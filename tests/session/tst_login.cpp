// The login answers: "SL" (accepted), the first and later "SLU" (the friends
// list), "FL" (refused), "SR" (registered), each against a login dialog that
// sent its record and hid itself, and each with no dialog open.

#include "scratchsettings.h"
#include "sessionrig.h"
#include "waits.h"

#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

using namespace std::chrono_literals;

class TestLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginEndsDialogSavesSettingsAndCompletes();
    void autoLoginIsAnsweredBeforeTheMainLoop();
    void secondFriendsListOnlyRefreshes();
    void emptyFriendsListChangesNothing();
    void refusedLoginShowsDialogAgain();
    void refusalTestsItsOwnCodeAfterTheBox();
    void registrationEndsRegistrationDialog();
    void answersWithoutDialogAreIgnored();

private:
    std::unique_ptr<CSessionRig> m_rig;
};

void TestLogin::init()
{
    QFile::remove(OpenSettingsRoot()->fileName());
    m_rig = std::make_unique<CSessionRig>();
    QVERIFY(m_rig->Connect());
}

void TestLogin::cleanup()
{
    m_rig.reset();
}

void TestLogin::loginEndsDialogSavesSettingsAndCompletes()
{
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeView& view = *m_rig->m_pView;
    QSignalSpy stateSpy(&doc, &CPalaverDoc::StateChanged);

    CFakeLoginDlg dlg;
    dlg.m_strUserName = "ann";
    dlg.m_strPassword = "pw12";
    dlg.m_bRemember = 1;
    dlg.m_bAutoLogin = 1;
    dlg.AwaitAnswer(doc);

    // When the tree is shown, the dialog must be ended and the login stored.
    bool endedBeforeList = false;
    QString storedBeforeList;
    view.m_onForeground = [&] {
        endedBeforeList = !dlg.isVisible() && dlg.result() == 0;
        storedBeforeList = OpenSettingsRoot()->value(QStringLiteral("Settings/Login/UserName")).toString();
    };

    const int result = RunModalWithScript(dlg, [&] {
        // The Login button: the dialog sends, hides and waits.
        doc.Send(Record("L", "ann", "pw12", {"ann", "pw12", "L"}));
        dlg.hide();
        QVERIFY(m_rig->m_pServer->Expect("L"));
        QVERIFY(m_rig->m_pServer->Inject(Record("SL", {}, "ann")));
        // The list is asked for with the accepted name as sender.
        QVERIFY(m_rig->ExpectBuilt(Record("SL", "ann")));
        QCOMPARE(doc.UserName(), std::string("ann"));
        QCOMPARE(doc.Password(), std::string("pw12"));
        QVERIFY(!doc.IsLoggedIn());
        QVERIFY(m_rig->m_pServer->Inject(Record("SLU", {}, "ann", {"bob*", "cy"})));
        QVERIFY(m_rig->ExpectBuilt(Record("SLO", "ann")));
    });
    doc.EndLogin();

    QCOMPARE(result, 0);
    QVERIFY(doc.IsLoggedIn());
    QVERIFY(stateSpy.count() >= 1);
    QCOMPARE(doc.Title(), QStringLiteral("ann"));
    QVERIFY(endedBeforeList);
    QCOMPARE(storedBeforeList, QStringLiteral("ann"));
    QCOMPARE(CFakeView::Children(view.OnlineGroup()), QStringList{QStringLiteral("bob")});
    QCOMPARE(CFakeView::Children(view.OfflineGroup()), QStringList{QStringLiteral("cy")});

    const CUserSettings& s = doc.Settings();
    QCOMPARE(s.m_nAutoLogin, 1);
    QCOMPARE(s.m_nRememberLogin, 1);
    QCOMPARE(s.m_strUserName, std::string("ann"));
    QCOMPARE(s.m_strPassword, std::string("pw12"));
    std::unique_ptr<QSettings> store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/Login/Password")).toString(), QStringLiteral("pw12"));
    QCOMPARE(store->value(QStringLiteral("Settings/Login/AutoLogin")).toInt(), 1);
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
    QCOMPARE(m_rig->m_pBoxes->Count(), 0);
}

void TestLogin::autoLoginIsAnsweredBeforeTheMainLoop()
{
    // The test runs outside any application loop, as the start-up login does:
    // the answers are dispatched inside the dialog's own run. An automatic
    // login sends from the initialisation and stays visible.
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeLoginDlg dlg;
    dlg.m_strUserName = "ann";
    dlg.m_strPassword = "pw12";
    dlg.m_onInit = [&] { doc.Send(Record("L", "ann", "pw12", {"ann", "pw12", "L"})); };
    dlg.AwaitAnswer(doc);
    m_rig->m_pServer->WaitForClient();
    const int result = RunModalWithScript(dlg, [&] {
        QVERIFY(m_rig->m_pServer->Expect("L"));
        m_rig->m_pServer->Inject(Record("SL", {}, "ann"));
        m_rig->m_pServer->Inject(Record("SLU", {}, "ann", {"bob"}));
    });
    doc.EndLogin();
    QCOMPARE(result, 0);
    QVERIFY(doc.IsLoggedIn());
    QVERIFY(m_rig->m_pServer->Expect("SL"));
    QVERIFY(m_rig->m_pServer->Expect("SLO"));
}

void TestLogin::secondFriendsListOnlyRefreshes()
{
    QVERIFY(m_rig->LogIn("ann", {"bob"}));
    CFakeView& view = *m_rig->m_pView;
    // The tree is not emptied first: the session clears it before it asks.
    m_rig->m_pServer->Inject(Record("SLU", {}, "ann", {"cy*", "dan"}));
    QVERIFY(WaitUntil([&] { return view.m_nForeground == 2; }));
    QCOMPARE(CFakeView::Children(view.OnlineGroup()), QStringList{QStringLiteral("cy")});
    QCOMPARE(CFakeView::Children(view.OfflineGroup()),
             (QStringList{QStringLiteral("bob"), QStringLiteral("dan")}));
    QCOMPARE(view.OfflineGroup()->text(0), QStringLiteral("Offline Friends (2)"));
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
    QVERIFY(m_rig->m_pDoc->IsLoggedIn());
}

void TestLogin::emptyFriendsListChangesNothing()
{
    QVERIFY(m_rig->LogIn("ann", {"bob*", "cy"}));
    CFakeView& view = *m_rig->m_pView;
    CPalaverDoc& doc = *m_rig->m_pDoc;
    doc.SetTitle(QStringLiteral("something else"));
    m_rig->m_pServer->Inject(Record("SLU", {}, "ann"));
    QVERIFY(WaitUntil([&] { return doc.Title() == QStringLiteral("ann"); }));
    QVERIFY(m_rig->Settle());
    QCOMPARE(view.m_nForeground, 1);
    QCOMPARE(view.OnlineGroup()->text(0), QStringLiteral("Online Friends (1)"));
    QCOMPARE(view.OfflineGroup()->text(0), QStringLiteral("Offline Friends (1)"));
    QCOMPARE(doc.OnlineCount(), 1);
    QCOMPARE(doc.OfflineCount(), 1);
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
}

void TestLogin::refusedLoginShowsDialogAgain()
{
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeLoginDlg dlg;
    dlg.m_strUserName = "ann";
    dlg.AwaitAnswer(doc);
    bool visibleAfterRefusal = false;
    const int result = RunModalWithScript(dlg, [&] {
        doc.Send(Record("L", "ann", "x", {"ann", "x", "L"}));
        dlg.hide();
        QVERIFY(m_rig->m_pServer->Expect("L"));
        m_rig->m_pServer->Inject(Record("FL", "Invalid user name or password"));
        QVERIFY(m_rig->m_pBoxes->WaitForCount(1));
        QVERIFY(WaitUntil([&] { return dlg.isVisible(); }));
        visibleAfterRefusal = dlg.IsRunning();
        dlg.EndDialog(IDCANCEL);
    });
    doc.EndLogin();
    QVERIFY(visibleAfterRefusal);
    QCOMPARE(result, int(IDCANCEL));
    QCOMPARE(m_rig->m_pBoxes->Texts(), QStringList{QStringLiteral("Invalid user name or password")});
    QCOMPARE(m_rig->m_pBoxes->Last().icon, MessageIcon::Exclamation);
    QVERIFY(!doc.IsLoggedIn());
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
}

void TestLogin::refusalTestsItsOwnCodeAfterTheBox()
{
    // An "SM" dispatched while the refusal's box is open overwrites the
    // receive record; the dialog must be shown all the same.
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeView& view = *m_rig->m_pView;
    CFakeLoginDlg dlg;
    dlg.AwaitAnswer(doc);
    m_rig->m_pBoxes->SetNestedLoop(3s, [&] { return !view.m_openedSpeakWindows.empty(); });
    bool shown = false;
    RunModalWithScript(dlg, [&] {
        dlg.hide();
        CNetMessage refusal = Record("FL", "Invalid user name or password");
        CNetMessage message = Record("SM", "bob", "ann");
        m_rig->m_pServer->Inject(refusal);
        m_rig->m_pServer->Inject(message);
        QVERIFY(
            WaitUntil([&] { return m_rig->m_pBoxes->Count() == 1 && m_rig->m_pBoxes->OpenCount() == 0; }));
        QVERIFY(m_rig->Settle());
        shown = dlg.isVisible();
        dlg.EndDialog(IDCANCEL);
    });
    doc.EndLogin();
    QCOMPARE(view.m_openedSpeakWindows, std::vector<std::string>{"bob"});
    QVERIFY(shown);
}

void TestLogin::registrationEndsRegistrationDialog()
{
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeLoginDlg login;
    CFakeModalDlg registration;
    login.m_pRegistrationDlg = &registration;
    login.AwaitAnswer(doc);
    // What the login dialog's Register does.
    QObject::connect(&doc, &CPalaverDoc::Registered, &registration, &CModalDialog::EndWithMessage);
    doc.BeginRegistration();
    const int result = RunModalWithScript(registration, [&] {
        doc.Send(Record("R", "newbie", "pw12"));
        registration.hide();
        QVERIFY(m_rig->m_pServer->Expect("R"));
        m_rig->m_pServer->Inject(Record("SR"));
    });
    QCOMPARE(result, 0);
    QCOMPARE(m_rig->m_pBoxes->Texts(), QStringList{QStringLiteral("Registration success, proceed to Login")});
    QVERIFY(!login.IsRunning());
    QVERIFY(!doc.IsLoggedIn());
    doc.EndRegistration();
    doc.EndLogin();
}

void TestLogin::answersWithoutDialogAreIgnored()
{
    CPalaverDoc& doc = *m_rig->m_pDoc;
    CFakeView& view = *m_rig->m_pView;
    // No login dialog at all.
    m_rig->m_pServer->Inject(Record("SL", {}, "ann"));
    m_rig->m_pServer->Inject(Record("SLU", {}, "ann", {"bob*"}));
    m_rig->m_pServer->Inject(Record("SR"));
    m_rig->m_pServer->Inject(Record("FL", "Invalid user name or password"));
    QVERIFY(m_rig->m_pBoxes->WaitForCount(1));
    QVERIFY(m_rig->Settle());
    // The failure is still reported; nothing else happens.
    QCOMPARE(m_rig->m_pBoxes->Texts(), QStringList{QStringLiteral("Invalid user name or password")});
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
    QVERIFY(!doc.IsLoggedIn());
    QVERIFY(doc.UserName().empty());
    QCOMPARE(CFakeView::Children(view.OnlineGroup()), QStringList());
    QCOMPARE(doc.Title(), QStringLiteral("Not logged in"));

    // A login dialog without a registration dialog: "SR" is ignored.
    CFakeLoginDlg login;
    login.AwaitAnswer(doc);
    QVERIFY(m_rig->InjectAndSettle(Record("SR")));
    QCOMPARE(m_rig->m_pBoxes->Count(), 1);

    // A login dialog that went away before its answer.
    {
        auto gone = std::make_unique<CFakeLoginDlg>();
        gone->AwaitAnswer(doc);
    }
    QVERIFY(!doc.IsLoginWaiting());
    m_rig->m_pServer->Inject(Record("SLU", {}, "ann", {"bob*"}));
    m_rig->m_pServer->Inject(Record("FL", "again"));
    QVERIFY(m_rig->m_pBoxes->WaitForCount(2));
    QVERIFY(NothingSentBefore(*m_rig->m_pDoc, *m_rig->m_pServer));
    QVERIFY(!doc.IsLoggedIn());
}

SESSION_TEST_MAIN(TestLogin)
#include "tst_login.moc"
