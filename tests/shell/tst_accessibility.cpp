// The keyboard and screen readers: Return opens a friend's conversation,
// Escape closes the offline messages, read-only boxes take no Tab, tabs need
// no scroll arrows, each Alt key has one owner, and every control a reader
// reaches on the AT-SPI bus has a name.
#include "acceptfrienddlg.h"
#include "accessibility.h"
#include "commandids.h"
#include "registrationdlg.h"
#include "shellfixture.h"
#include "speakcommands.h"
#include "speakwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

class TestAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_reader = std::make_unique<CAccessibilityReader>();
        QVERIFY2(m_reader->Error().isEmpty(), qPrintable(m_reader->Error()));
    }
    void cleanupTestCase() { m_reader.reset(); }
    void MainWindowAndReturnOnFriend();
    void ConversationWindow();
    void OfflineMessagesWindow();
    void Registration();
    void Dialogs_data();
    void Dialogs();

private:
    // What a keyboard or screen reader user would trip on in `window`, one
    // line each; each page of a tabbed window counts.
    QString Faults(QWidget* window)
    {
        QStringList faults = MnemonicClashes(window);
        for (QTabWidget* tabs : window->findChildren<QTabWidget*>()) {
            for (const QToolButton* arrow : tabs->tabBar()->findChildren<QToolButton*>())
                if (arrow->isVisible())
                    faults.append(QStringLiteral("the tabs scroll"));
            for (int page = 0; page < tabs->count(); ++page) {
                tabs->setCurrentIndex(page);
                faults += MnemonicClashes(window);
            }
        }
        const QList<CAccessibleNode> nodes = m_reader->ReadWindow(window->windowTitle());
        if (nodes.isEmpty())
            faults.append(QStringLiteral("not read: ") + m_reader->Error());
        faults += UnnamedControls(nodes);
        faults.removeDuplicates();
        return faults.join(QLatin1Char('\n'));
    }

    std::unique_ptr<CAccessibilityReader> m_reader;
};

void TestAccessibility::MainWindowAndReturnOnFriend()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*", "cy"}));
    f.frame->show();
    QCOMPARE(Faults(f.frame.get()), QString());

    QTreeWidget* tree = f.view->TreeControl();
    for (const auto& [name, key] : {std::pair{"bob", Qt::Key_Return}, std::pair{"cy", Qt::Key_Enter}}) {
        tree->setCurrentItem(f.FindItem(QString::fromLatin1(name)));
        QTest::keyClick(tree, key);
        QVERIFY(FindSpeakWindow(*f.doc, name));
    }

    // A friend request's window, which comes by itself.
    f.view->CreateAcceptFriendDialog("User cy wants to add you to his/her friends list", "cy");
    QCOMPARE(Faults(VisibleWindow<CAcceptFriendDlg>()), QString());
}

void TestAccessibility::ConversationWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    auto* view = qobject_cast<CSpeakWindow*>(f.view->OpenSpeakWindow("bob"));
    QVERIFY(QTest::qWaitForWindowActive(view->window()));
    // Tab from To passes the read-only From and conversation boxes.
    view->ToBox()->setFocus();
    QTest::keyClick(view->ToBox(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(view->FontButton()));
    QCOMPARE(Faults(view->window()), QString());
}

void TestAccessibility::OfflineMessagesWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    f.view->ShowOfflineMessagesWindow();
    QPointer<QWidget> window = f.view->OfflineMessagesWindow()->window();
    QCOMPARE(Faults(window), QString());
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(WaitUntil([&] { return !window || !window->isVisible(); }));
    QVERIFY(!f.view->OfflineMessagesWindow());
}

void TestAccessibility::Registration()
{
    CShellFixture f;
    CRegistrationDlg dialog(nullptr);
    dialog.show();
    QCOMPARE(Faults(&dialog), QString());
}

void TestAccessibility::Dialogs_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("login") << int(ID_FILE_CHANGEUSER);
    QTest::newRow("preferences") << int(ID_FILE_PREFERENCES);
    QTest::newRow("add a friend") << int(ID_FRIENDS_ADD);
    QTest::newRow("change password") << int(ID_TOOLS_CHANGEPASSWORD);
    QTest::newRow("delete friends") << int(ID_FRIENDS_DELETE);
    QTest::newRow("about") << int(ID_APP_ABOUT);
    // Not commands of the main window: the session's list, and a
    // conversation's Block.
    QTest::newRow("blocked users") << 0;
    QTest::newRow("block confirmation") << int(ID_SPEAK_BLOCK);
}

void TestAccessibility::Dialogs()
{
    QFETCH(int, command);
    CShellFixture f;
    if (command != ID_FILE_CHANGEUSER)
        QVERIFY(f.LogIn("anna", {"bob*"}));
    // Checked and closed from inside the dialog's own loop, once in view.
    QString faults = QStringLiteral("no dialog came");
    QTimer poll;
    const QDeadlineTimer deadline(10s);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if ((dialog && dialog->isVisible()) || deadline.hasExpired())
            poll.stop();
        if (dialog && dialog->isVisible()) {
            faults = Faults(dialog);
            dialog->reject();
        }
    });
    poll.start(10);
    if (command == 0)
        f.view->RunBlockedUsersDialog();
    else if (command == ID_SPEAK_BLOCK)
        qobject_cast<CSpeakWindow*>(f.view->OpenSpeakWindow("bob"))->OnCommand(ID_SPEAK_BLOCK);
    else
        f.frame->ExecuteCommand(command);
    QCOMPARE(faults, QString());
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
