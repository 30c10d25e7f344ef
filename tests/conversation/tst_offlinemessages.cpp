// The offline messages window: rows in store order, row 0 shown, Delete
// removing the row and the stored record together, clicks and keys in the
// list, the panes' layout, and the Received column's English local time.
#include "commands.h"
#include "netmessage.h"
#include "offlinemessageswnd.h"
#include "sessionfixture.h"
#include "waits.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLocale>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

using namespace std::chrono_literals;

namespace {

// Stores messages the way the server delivers them after a login: "O"
// records, kept by the session.
bool Store(CSessionFixture& f, const QList<QPair<const char*, const char*>>& messages)
{
    // Sunday 1 March 2026, 09:05:07 local time, then a second later each.
    const QDateTime first(QDate(2026, 3, 1), QTime(9, 5, 7), Qt::LocalTime);
    auto time = static_cast<int32_t>(first.toSecsSinceEpoch());
    for (const auto& [sender, text] : messages) {
        CNetMessage msg;
        msg.command = Cmd::OfflineMessage;
        msg.sender = sender;
        msg.recipient = "anna";
        msg.text = text;
        msg.time = time++;
        f.server.Inject(msg);
    }
    return WaitUntil(
        [&] { return f.doc->OfflineMessages().size() == static_cast<std::size_t>(messages.size()); });
}

} // namespace

class TestOfflineMessages : public QObject
{
    Q_OBJECT

private slots:
    void RowsAndFirstShown();
    void DeleteRemovesStoredRecord();
    void EmptyStore();
    void DeleteRightAfterOpening();
    void ClickBelowLastRowKeepsText();
    void ArrowKeysDoNotShow();
    void TypedTextIsNotStored();
    void ReceivedInEnglishLocalTime();
    void LayoutAndMenu();
};

namespace {

QPoint RowCenter(QTreeWidget* list, int row)
{
    return list->visualItemRect(list->topLevelItem(row)).center();
}

} // namespace

void TestOfflineMessages::RowsAndFirstShown()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}, {"bob", "three"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.show();
    window.ListPane()->FillOfflineList();
    QTreeWidget* list = window.ListPane()->List();
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("From"));
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("Message"));
    QCOMPARE(list->headerItem()->text(2), QStringLiteral("Received"));
    QCOMPARE(list->columnWidth(0), 150);
    QCOMPARE(list->topLevelItemCount(), 3);
    QCOMPARE(list->topLevelItem(1)->text(0), QStringLiteral("cy"));
    QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("two"));
    QCOMPARE(list->topLevelItem(0)->text(2), QStringLiteral("Sunday, March, 01, 2026, 09:05:07"));
    QCOMPARE(window.ListPane()->SelectedRow(), 0);
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("one"));
    QVERIFY(window.TextPane()->DeleteButton()->isEnabled());
    QVERIFY(window.TextPane()->ReplyButton()->isEnabled());
}

void TestOfflineMessages::DeleteRemovesStoredRecord()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}, {"bob", "three"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.show();
    window.ListPane()->FillOfflineList();
    QTreeWidget* list = window.ListPane()->List();
    list->setCurrentItem(list->topLevelItem(1));
    window.TextPane()->DeleteButton()->click();
    // The server is told of the deletion, and of nothing else.
    std::optional<CNetMessage> ack = f.server.Expect(Cmd::OfflineAck);
    QVERIFY(ack);
    QCOMPARE(ack->text, std::string("two"));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(2));
    QCOMPARE(f.doc->OfflineMessages()[0]->text, std::string("one"));
    QCOMPARE(f.doc->OfflineMessages()[1]->text, std::string("three"));
    QVERIFY(window.TextPane()->TextBox()->toPlainText().isEmpty());
    QVERIFY(!window.TextPane()->DeleteButton()->isEnabled());
    QVERIFY(!window.TextPane()->ReplyButton()->isEnabled());
}

void TestOfflineMessages::EmptyStore()
{
    CSessionFixture f;
    COfflineMessagesFrameWnd window(f.doc.get());
    window.show();
    window.ListPane()->FillOfflineList();
    QCOMPARE(window.ListPane()->List()->topLevelItemCount(), 0);
    QVERIFY(!window.TextPane()->DeleteButton()->isEnabled());
    // Clicks and double clicks on the empty list do nothing.
    QWidget* viewport = window.ListPane()->List()->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(20, 10));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(20, 10));
    QVERIFY(!window.TextPane()->DeleteButton()->isEnabled());
    QVERIFY(window.TextPane()->TextBox()->toPlainText().isEmpty());
    window.TextPane()->OnDeleteMessage();
    window.TextPane()->OnReplyMessage();
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestOfflineMessages::DeleteRightAfterOpening()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.show();
    window.ListPane()->FillOfflineList();
    window.TextPane()->DeleteButton()->click();
    QCOMPARE(window.ListPane()->List()->topLevelItemCount(), 1);
    QCOMPARE(window.ListPane()->List()->topLevelItem(0)->text(1), QStringLiteral("two"));
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(1));
    QCOMPARE(f.doc->OfflineMessages()[0]->text, std::string("two"));
    QVERIFY(f.server.Expect(Cmd::OfflineAck));
    // A second Delete with nothing selected removes nothing.
    window.TextPane()->OnDeleteMessage();
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(1));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestOfflineMessages::ClickBelowLastRowKeepsText()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}, {"bob", "three"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.resize(545, 400);
    window.show();
    window.ListPane()->FillOfflineList();
    QTreeWidget* list = window.ListPane()->List();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, RowCenter(list, 1));
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("two"));

    const QRect last = list->visualItemRect(list->topLevelItem(2));
    const QPoint below(last.left() + 20, last.bottom() + 15);
    QVERIFY(list->viewport()->rect().contains(below));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(window.ListPane()->SelectedRow(), -1);
    QVERIFY(!window.TextPane()->DeleteButton()->isEnabled());
    QVERIFY(!window.TextPane()->ReplyButton()->isEnabled());
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("two"));
    // Delete and Reply with no row selected do nothing.
    window.TextPane()->OnDeleteMessage();
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(3));
    QCOMPARE(list->topLevelItemCount(), 3);
}

void TestOfflineMessages::ArrowKeysDoNotShow()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}, {"bob", "three"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.resize(545, 400);
    window.show();
    window.ListPane()->FillOfflineList();
    QTreeWidget* list = window.ListPane()->List();
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(window.ListPane()->SelectedRow(), 1);
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("one"));
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("one"));
    // Delete acts on the selected row all the same: the third.
    window.TextPane()->DeleteButton()->click();
    QCOMPARE(f.doc->OfflineMessages().size(), std::size_t(2));
    QCOMPARE(f.doc->OfflineMessages()[1]->text, std::string("two"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, RowCenter(list, 1));
    QCOMPARE(window.TextPane()->TextBox()->toPlainText(), QStringLiteral("two"));
}

void TestOfflineMessages::TypedTextIsNotStored()
{
    CSessionFixture f;
    QVERIFY(Store(f, {{"bob", "one"}, {"cy", "two"}}));
    COfflineMessagesFrameWnd window(f.doc.get());
    window.resize(545, 400);
    window.show();
    window.ListPane()->FillOfflineList();
    QTextEdit* box = window.TextPane()->TextBox();
    QVERIFY(!box->isReadOnly());
    box->moveCursor(QTextCursor::End);
    QTest::keyClicks(box, " more");
    QCOMPARE(box->toPlainText(), QStringLiteral("one more"));
    QTreeWidget* list = window.ListPane()->List();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, RowCenter(list, 0));
    QCOMPARE(box->toPlainText(), QStringLiteral("one"));
    QCOMPARE(f.doc->OfflineMessages()[0]->text, std::string("one"));
    QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("one"));
}

void TestOfflineMessages::ReceivedInEnglishLocalTime()
{
    // Whatever language the desktop speaks (the test also runs under a
    // German locale), the names are English.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QDateTime local(QDate(2026, 3, 1), QTime(9, 5, 7), Qt::LocalTime);
    QCOMPARE(CListPane::FormatReceived(static_cast<int32_t>(local.toSecsSinceEpoch())),
             QStringLiteral("Sunday, March, 01, 2026, 09:05:07"));
    // Local time, not UTC: 1772355907 is 09:05:07 UTC.
    const QByteArray zone = qgetenv("TZ");
    if (zone == "UTC")
        QCOMPARE(CListPane::FormatReceived(1772355907), QStringLiteral("Sunday, March, 01, 2026, 09:05:07"));
    else if (zone == "XST-5:30")
        QCOMPARE(CListPane::FormatReceived(1772355907), QStringLiteral("Sunday, March, 01, 2026, 14:35:07"));
    const QDateTime december(QDate(2026, 12, 6), QTime(15, 11, 55), Qt::LocalTime);
    QCOMPARE(CListPane::FormatReceived(static_cast<int32_t>(december.toSecsSinceEpoch())),
             QStringLiteral("Sunday, December, 06, 2026, 15:11:55"));
    QLocale::setDefault(QLocale::c());
}

void TestOfflineMessages::LayoutAndMenu()
{
    CSessionFixture f;
    COfflineMessagesFrameWnd window(f.doc.get());
    window.resize(545, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Two rows the user can resize.
    QSplitter* splitter = window.Splitter();
    QCOMPARE(splitter->orientation(), Qt::Vertical);
    QCOMPARE(splitter->count(), 2);
    QCOMPARE(splitter->widget(0), static_cast<QWidget*>(window.ListPane()));
    QCOMPARE(splitter->widget(1), static_cast<QWidget*>(window.TextPane()));
    const int total = splitter->sizes().at(0) + splitter->sizes().at(1);
    splitter->setSizes({100, total - 100});
    QVERIFY(WaitUntil([&] { return window.TextPane()->height() == total - 100; }));
    QCOMPARE(window.ListPane()->height(), 100);

    // The text pane's own layout, from its size.
    CTextPane* text = window.TextPane();
    const int w = text->width();
    const int h = text->height();
    QCOMPARE(text->TextBox()->geometry(), QRect(0, 0, w, h - 44));
    QCOMPARE(text->DeleteButton()->geometry(), QRect(10, h - 34, 80, 24));
    QCOMPARE(text->ReplyButton()->geometry(), QRect(100, h - 34, 80, 24));
    QCOMPARE(window.ListPane()->List()->geometry(), window.ListPane()->rect());
    // Received fits the longest weekday and month in the row; the message
    // gives way.
    QTreeWidget* list = window.ListPane()->List();
    QHeaderView* header = list->header();
    const QDateTime longest(QDate(2026, 9, 30), QTime(23, 59, 59), Qt::LocalTime);
    const QString received = CListPane::FormatReceived(static_cast<int32_t>(longest.toSecsSinceEpoch()));
    new QTreeWidgetItem(list, {QStringLiteral("bob"), QStringLiteral("hi"), received});
    QVERIFY(
        WaitUntil([&] { return header->sectionSize(2) > list->fontMetrics().horizontalAdvance(received); }));
    QVERIFY(header->sectionPosition(2) + header->sectionSize(2) <= list->viewport()->width());
    QVERIFY(text->ReplyButton()->isDefault());
    QCOMPARE(text->ReplyButton()->text(), QStringLiteral("&Reply"));
    QCOMPARE(text->DeleteButton()->text(), QStringLiteral("&Delete"));

    // The selection stays marked without the focus.
    const QPalette palette = window.ListPane()->List()->palette();
    QCOMPARE(palette.color(QPalette::Inactive, QPalette::Highlight),
             palette.color(QPalette::Active, QPalette::Highlight));

    // Menu 137: "&Help" with "&About Murmurly" alone.
    const auto menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus[0]->text(), QStringLiteral("&Help"));
    QVERIFY(menus[0]->menu());
    const auto items = menus[0]->menu()->actions();
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0]->text(), QStringLiteral("&About Murmurly"));
    QSignalSpy about(&window, &COfflineMessagesFrameWnd::AboutRequested);
    items[0]->trigger();
    QCOMPARE(about.count(), 1);
}

QTEST_MAIN(TestOfflineMessages)
#include "tst_offlinemessages.moc"
