// The offline messages window: rows in store order, row 0 shown, Delete
// removing the row and the stored record together.
#include "commands.h"
#include "netmessage.h"
#include "offlinemessageswnd.h"
#include "sessionfixture.h"

#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

// Stores messages the way the server delivers them after a login: "O"
// records, each acknowledged with "ON".
bool Store(CSessionFixture& f, const QList<QPair<const char*, const char*>>& messages)
{
    int32_t time = 1772355907; // Sunday 1 March 2026, 09:05:07 UTC
    for (const auto& [sender, text] : messages) {
        CNetMessage msg;
        msg.command = Cmd::OfflineMessage;
        msg.sender = sender;
        msg.recipient = "anna";
        msg.text = text;
        msg.time = time++;
        f.server.Inject(msg);
        if (!f.server.Expect(Cmd::OfflineAck))
            return false;
    }
    return f.doc->OfflineMessages().size() == static_cast<std::size_t>(messages.size());
}

} // namespace

class TestOfflineMessages : public QObject
{
    Q_OBJECT

private slots:
    void RowsAndFirstShown();
    void DeleteRemovesStoredRecord();
    void EmptyStore();
};

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
    window.TextPane()->OnDeleteMessage();
    window.TextPane()->OnReplyMessage();
    QVERIFY(f.server.ExpectNoRecord());
}

QTEST_MAIN(TestOfflineMessages)
#include "tst_offlinemessages.moc"
