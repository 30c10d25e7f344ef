// Alerts for messages that arrive unseen: notices through a fake notifier,
// the request for attention, the unread count, and the notice switch in the
// preferences.
#include "attention.h"
#include "commandids.h"
#include "messagealerts.h"
#include "noticepreferences.h"
#include "notifier.h"
#include "shellfixture.h"
#include "speakwindow.h"
#include "trayicon.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextEdit>

namespace {

struct CNotice
{
    quint64 key;
    QString title;
    QString body;
};

class CFakeNotifier final : public INotifier
{
public:
    bool Show(quint64 key, const QString& title, const QString& body) override
    {
        shown.push_back({key, title, body});
        return true;
    }
    void Click(quint64 key) { emit Clicked(key); }

    std::vector<CNotice> shown;
};

// The fixture logged in as anna, with the alerts on a fake notifier and the
// requests for attention counted; a window of another kind holds the focus.
struct CAlertsFixture : CShellFixture
{
    CFakeNotifier notifier;
    CMessageAlerts alerts{*doc, *view};
    QList<QWidget*> attention;
    QLineEdit elsewhere;

    CAlertsFixture()
    {
        alerts.SetNotifier(&notifier);
        SetAlertHandler([this](QWidget* window) { attention.append(window); });
    }
    ~CAlertsFixture() { SetAlertHandler({}); }

    // bob's message; true once his window shows it.
    bool Receive(const char* text, const char* sender = "bob")
    {
        CNetMessage msg = Record(Cmd::IncomingMessage, sender, "anna");
        msg.text = text;
        server.Inject(msg);
        return WaitUntil([&] {
            auto* window = qobject_cast<CSpeakWindow*>(FindSpeakWindow(*doc, sender));
            return window && window->Conversation().ends_with(text);
        });
    }
    bool Activate(QWidget* window)
    {
        window->activateWindow();
        return QTest::qWaitForWindowActive(window);
    }
};

// Counts the raises of `window` over other windows.
struct CRaiseCounter final : QObject
{
    explicit CRaiseCounter(QWidget* window) { window->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        raises += event->type() == QEvent::ZOrderChange ? 1 : 0;
        return false;
    }
    int raises = 0;
};

} // namespace

class TestMessageAlerts : public QObject
{
    Q_OBJECT

private slots:
    void UnseenLinesNotifyAndCount();
    void MinimisedWindowStaysMinimised();
    void ClickShowsConversation();
    void NoticeSwitch();
    void TrayIcon();
};

void TestMessageAlerts::UnseenLinesNotifyAndCount()
{
    CAlertsFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    CSpeakWindowBase* bob = f.view->OpenSpeakWindow("bob");
    f.elsewhere.show();
    QVERIFY(f.Activate(&f.elsewhere));
    QSignalSpy unread(&f.alerts, &CMessageAlerts::UnreadChanged);

    // Another window is active: a notice with the sender and the first line.
    QVERIFY(f.Receive("hello anna\r\nsecond line"));
    QCOMPARE(f.notifier.shown.size(), 1u);
    QCOMPARE(f.notifier.shown[0].title, QStringLiteral("bob"));
    QCOMPARE(f.notifier.shown[0].body, QStringLiteral("hello anna"));
    QCOMPARE(f.attention, QList<QWidget*>{bob->window()});
    QVERIFY(f.Receive("still there?"));
    QCOMPARE(f.notifier.shown.size(), 2u);
    QCOMPARE(f.notifier.shown[1].key, f.notifier.shown[0].key);
    QCOMPARE(f.alerts.UnreadCount(), 2);
    QCOMPARE(unread.last().at(0).toInt(), 2);

    // Activated, the window has nothing unread, and a line it shows while
    // active is seen: no notice, no attention.
    QVERIFY(f.Activate(bob->window()));
    QCOMPARE(f.alerts.UnreadCount(), 0);
    QVERIFY(f.Receive("now you see me"));
    QCOMPARE(f.notifier.shown.size(), 2u);
    QCOMPARE(f.attention.size(), 2);
    QCOMPARE(f.alerts.UnreadCount(), 0);

    // A long first line is cut for the notice.
    QCOMPARE(CMessageAlerts::NoticeText(std::string(300, 'x')).size(), 200);
}

void TestMessageAlerts::MinimisedWindowStaysMinimised()
{
    CAlertsFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    QWidget* bob = f.view->OpenSpeakWindow("bob")->window();
    bob->showMinimized();
    f.elsewhere.show();
    QVERIFY(f.Activate(&f.elsewhere));
    CRaiseCounter counter(bob);

    QVERIFY(f.Receive("busy here"));
    QVERIFY(bob->isMinimized());
    QCOMPARE(counter.raises, 0);
    QVERIFY(f.elsewhere.isActiveWindow());
    // The line is still announced.
    QCOMPARE(f.attention, QList<QWidget*>{bob});
    QCOMPARE(f.notifier.shown.size(), 1u);
    QCOMPARE(f.alerts.UnreadCount(), 1);
    // Nor does a window behind another come forward.
    bob->showNormal();
    QVERIFY(f.Activate(&f.elsewhere));
    counter.raises = 0;
    QVERIFY(f.Receive("still busy"));
    QCOMPARE(counter.raises, 0);
    QVERIFY(f.elsewhere.isActiveWindow());
}

void TestMessageAlerts::ClickShowsConversation()
{
    CAlertsFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    QPointer<CSpeakWindowBase> bob = f.view->OpenSpeakWindow("bob");
    f.elsewhere.show();
    QVERIFY(f.Activate(&f.elsewhere));
    QVERIFY(f.Receive("hi"));
    QCOMPARE(f.notifier.shown.size(), 1u);
    f.notifier.Click(f.notifier.shown[0].key);
    QVERIFY(QTest::qWaitForWindowActive(bob->window()));
    QCOMPARE(QApplication::focusWidget(),
             static_cast<QWidget*>(qobject_cast<CSpeakWindow*>(bob)->InputBox()));
    QCOMPARE(f.alerts.UnreadCount(), 0);

    // The window has closed since: the click opens the conversation again.
    delete bob->window();
    QVERIFY(bob.isNull());
    f.notifier.Click(f.notifier.shown[0].key);
    CSpeakWindowBase* again = FindSpeakWindow(*f.doc, "bob");
    QVERIFY(again);
    QVERIFY(QTest::qWaitForWindowActive(again->window()));
}

void TestMessageAlerts::NoticeSwitch()
{
    CAlertsFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    // On by default; the sheet turns it off and stores it.
    QCOMPARE(f.doc->Settings().m_nNotify, 1);
    QTimer::singleShot(0, [] {
        auto* sheet = qobject_cast<CPreferences*>(RunningDialog<CPreferences>());
        QVERIFY(sheet);
        QCheckBox* box = sheet->NoticePage()->NotifyBox();
        QCOMPARE(box->text(), QStringLiteral("Show a notice for new messages"));
        QVERIFY(box->isChecked());
        box->click();
        sheet->OkButton()->click();
    });
    f.frame->ExecuteCommand(ID_FILE_PREFERENCES);
    QCOMPARE(f.doc->Settings().m_nNotify, 0);
    QCOMPARE(OpenSettingsRoot()->value(QStringLiteral("Settings/Notify/NewMessages")).toInt(), 0);

    // Off: a message that arrives unseen still asks for attention and
    // counts, but shows no notice.
    CSpeakWindowBase* bob = f.view->OpenSpeakWindow("bob");
    f.elsewhere.show();
    QVERIFY(f.Activate(&f.elsewhere));
    QVERIFY(f.Receive("quiet"));
    QVERIFY(f.notifier.shown.empty());
    QCOMPARE(f.attention, QList<QWidget*>{bob->window()});
    QCOMPARE(f.alerts.UnreadCount(), 1);
}

void TestMessageAlerts::TrayIcon()
{
    CShellFixture f;
    CTrayIcon tray(*f.frame);
    const QList<QAction*> items = tray.Menu()->actions();
    QCOMPARE(items.size(), 4);
    QCOMPARE(items[0]->text(), QStringLiteral("&Show"));
    QCOMPARE(items[1], f.Action(ID_FILE_DISCONNECT));
    QCOMPARE(items[3], f.Action(ID_APP_EXIT));
    tray.SetUnread(3);
    QCOMPARE(tray.Icon()->toolTip(), QStringLiteral("Murmurly - 3 unread messages"));
    tray.SetUnread(0);
    QCOMPARE(tray.Icon()->toolTip(), QStringLiteral("Murmurly"));
    f.frame->hide();
    tray.ShowAction()->trigger();
    QVERIFY(f.frame->isVisible());
}

QTEST_MAIN(TestMessageAlerts)
#include "tst_messagealerts.moc"
