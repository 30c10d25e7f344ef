// The keyboard and screen readers: Return opens a friend's conversation,
// Escape closes the offline messages, read-only boxes take no Tab, each Alt
// key has one owner, and every control a reader reaches on the AT-SPI bus
// has a name.
#include "accessibility.h"
#include "commandids.h"
#include "shellfixture.h"
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

// Fails with the list when it is not empty.
#define NONE(list)                                                                                           \
    do {                                                                                                     \
        const QStringList found = (list);                                                                    \
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));                                \
    } while (false)

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
    void PreferencesSheet();
    void Dialogs_data();
    void Dialogs();

private:
    // What a keyboard or screen reader user would trip on in `window`.
    QStringList Faults(QWidget* window)
    {
        QStringList faults = MnemonicClashes(window);
        const QList<CAccessibleNode> nodes = m_reader->ReadWindow(window->windowTitle());
        if (nodes.isEmpty())
            faults.append(QStringLiteral("not read: ") + m_reader->Error());
        return faults + UnnamedControls(nodes);
    }

    std::unique_ptr<CAccessibilityReader> m_reader;
};

void TestAccessibility::MainWindowAndReturnOnFriend()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*", "cy"}));
    f.frame->show();
    NONE(Faults(f.frame.get()));

    QTreeWidget* tree = f.view->TreeControl();
    for (const auto& [name, key] : {std::pair{"bob", Qt::Key_Return}, std::pair{"cy", Qt::Key_Enter}}) {
        tree->setCurrentItem(f.FindItem(QString::fromLatin1(name)));
        QTest::keyClick(tree, key);
        QVERIFY(FindSpeakWindow(*f.doc, name));
    }
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
    NONE(Faults(view->window()));
}

void TestAccessibility::OfflineMessagesWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    f.view->ShowOfflineMessagesWindow();
    QPointer<QWidget> window = f.view->OfflineMessagesWindow()->window();
    NONE(Faults(window));
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(WaitUntil([&] { return !window || !window->isVisible(); }));
    QVERIFY(!f.view->OfflineMessagesWindow());
}

void TestAccessibility::PreferencesSheet()
{
    CShellFixture f;
    QStringList faults;
    QTimer::singleShot(0, [&] {
        auto* sheet = qobject_cast<CPreferences*>(RunningDialog<CPreferences>());
        QVERIFY(sheet);
        // Every tab shows without scroll arrows.
        const QTabBar* tabs = sheet->Tabs()->tabBar();
        for (const QToolButton* arrow : tabs->findChildren<QToolButton*>())
            if (arrow->isVisible())
                faults.append(QStringLiteral("the tabs scroll"));
        for (int page = 0; page < sheet->Tabs()->count(); ++page) {
            sheet->Tabs()->setCurrentIndex(page);
            faults += MnemonicClashes(sheet);
        }
        faults += Faults(sheet);
        sheet->CancelButton()->click();
    });
    f.frame->ExecuteCommand(ID_FILE_PREFERENCES);
    NONE(faults);
}

void TestAccessibility::Dialogs_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("login") << int(ID_FILE_CHANGEUSER);
    QTest::newRow("add a friend") << int(ID_FRIENDS_ADD);
    QTest::newRow("change password") << int(ID_TOOLS_CHANGEPASSWORD);
    QTest::newRow("delete friends") << int(ID_FRIENDS_DELETE);
    QTest::newRow("about") << int(ID_APP_ABOUT);
}

void TestAccessibility::Dialogs()
{
    QFETCH(int, command);
    CShellFixture f;
    if (command != ID_FILE_CHANGEUSER)
        QVERIFY(f.LogIn("anna", {"bob*"}));
    // Checked and closed from inside the dialog's own loop, once in view.
    QStringList faults{QStringLiteral("no dialog came")};
    QTimer poll;
    const QDeadlineTimer deadline(10s);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) {
            if (deadline.hasExpired())
                poll.stop();
            return;
        }
        poll.stop();
        faults = Faults(dialog);
        dialog->reject();
    });
    poll.start(10);
    f.frame->ExecuteCommand(command);
    NONE(faults);
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
