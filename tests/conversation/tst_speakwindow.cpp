// The conversation window: sending, the transcript and its line formats,
// the To name, and leaving the session's list when the frame goes.
#include "commands.h"
#include "netmessage.h"
#include "sessionfixture.h"
#include "speakwindow.h"
#include "speakwindowframe.h"
#include "waits.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <cstring>

using namespace std::chrono_literals;

namespace {

// A frame as the friends list opens it for `to`.
CSpeakWindowFrame* Open(CPalaverDoc& doc, const std::string& from, const std::string& to)
{
    auto* frame = new CSpeakWindowFrame(&doc);
    frame->View()->SetFrom(from);
    frame->View()->SetTo(to);
    frame->View()->UpdateData(false);
    doc.AddSpeakWindow(frame->View());
    frame->show();
    return frame;
}

CNetMessage Line(const char* sender, const char* text, const char* face, int32_t weight)
{
    CNetMessage msg;
    msg.command = Cmd::IncomingMessage;
    msg.sender = sender;
    msg.text = text;
    msg.faceName = face;
    msg.font.lfWeight = weight;
    msg.size = 240;
    return msg;
}

// The format of the conversation box's text at the start of line `n`.
QTextCharFormat FormatOfLine(QTextEdit* box, int n)
{
    QTextBlock block = box->document()->findBlockByNumber(n);
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::NextCharacter);
    return cursor.charFormat();
}

} // namespace

class TestSpeakWindow : public QObject
{
    Q_OBJECT

private slots:
    void SendShowsLineAndSendsRecord();
    void SendWithSettingsFont();
    void SendRefusals();
    void TranscriptAndFormats();
    void EditedToName();
    void CloseLeavesList();
};

void TestSpeakWindow::SendShowsLineAndSendsRecord()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    QPointer<CSpeakWindowFrame> frame = Open(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    QVERIFY(view->SendButton()->isDefault());
    QCOMPARE(view->SendButton()->text(), QStringLiteral("&Send"));
    QVERIFY(view->findChild<QLineEdit*>(QStringLiteral("from"))->isReadOnly());
    QVERIFY(view->ConversationBox()->isReadOnly());

    QTest::keyClicks(view->InputBox(), QStringLiteral("hi"));
    QTest::keyClick(view->InputBox(), Qt::Key_Return);
    auto sent = f.server.Expect(Cmd::Message);
    QVERIFY(sent);
    QCOMPARE(sent->sender, std::string("anna"));
    QCOMPARE(sent->recipient, std::string("bob"));
    QCOMPARE(sent->text, std::string("hi"));
    // No face name in the settings: the fallback.
    QCOMPARE(sent->faceName, std::string("Arial"));
    QCOMPARE(sent->color, 0u);
    QCOMPARE(sent->size, 200);
    QVERIFY(sent->names.empty());
    // A server without receipts: the line counts as sent once written.
    QCOMPARE(view->ConversationBox()->MarkWord(0), QStringLiteral("sent"));
    QCOMPARE(view->ConversationBox()->toPlainText(), QStringLiteral("anna: hi"));
    QCOMPARE(view->Conversation(), std::string("anna: hi"));
    QVERIFY(view->InputBox()->toPlainText().isEmpty());
    delete frame.data();
}

void TestSpeakWindow::SendWithSettingsFont()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    CUserSettings& settings = f.doc->Settings();
    std::strcpy(settings.m_font.lfFaceName, "DejaVu Sans");
    settings.m_font.lfWeight = 800;
    settings.m_font.lfItalic = 1;
    settings.m_strFaceName = "DejaVu Sans";
    settings.m_nFontColor = 0x0000FF;
    settings.m_nHeight = 240;
    QPointer<CSpeakWindowFrame> frame = Open(*f.doc, "anna", "bob");
    frame->View()->InputBox()->setText(QStringLiteral("hello"));
    frame->View()->SendButton()->click();
    auto sent = f.server.Expect(Cmd::Message);
    QVERIFY(sent);
    QCOMPARE(sent->faceName, std::string("DejaVu Sans"));
    QCOMPARE(sent->font.lfWeight, 800);
    QCOMPARE(int(sent->font.lfItalic), 1);
    QCOMPARE(sent->color, 0x0000FFu);
    QCOMPARE(sent->size, 240);
    // Weight 800 is shown regular; the colour and size apply.
    const QTextCharFormat format = FormatOfLine(frame->View()->ConversationBox(), 0);
    QCOMPARE(format.fontWeight(), int(QFont::Normal));
    QVERIFY(format.fontItalic());
    QCOMPARE(format.foreground().color(), QColor(255, 0, 0));
    QCOMPARE(format.fontPointSize(), 12.0);
    delete frame.data();
}

void TestSpeakWindow::SendRefusals()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = Open(*f.doc, "anna", "");
    CSpeakWindow* view = frame->View();
    view->InputBox()->setText(QStringLiteral("hi"));
    view->OnSend();
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("Please enter a To party ID")});
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("hi"));
    // A To name but nothing typed: nothing happens, silently.
    view->ToBox()->setText(QStringLiteral("bob"));
    view->InputBox()->clear();
    view->OnSend();
    QCOMPARE(f.boxes.Count(), 1);
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QVERIFY(view->Conversation().empty());
    // More than the server takes in one string, as text or as To name: the
    // user is told, nothing is sent or shown, and the input stays.
    view->InputBox()->setPlainText(QString(70000, QLatin1Char('x')));
    view->OnSend();
    // A line edit holds 32767 characters; euro signs are 3 bytes each.
    view->ToBox()->setText(QString(30000, QChar(0x20AC)));
    view->InputBox()->setPlainText(QStringLiteral("hi"));
    view->OnSend();
    const QString refusal =
        QStringLiteral("This message is too long to send.\nIts size is %1 bytes; the limit is 65536 bytes.");
    QCOMPARE(f.boxes.Texts().mid(1), (QStringList{refusal.arg(70000), refusal.arg(90000)}));
    QVERIFY(NothingSentBefore(*f.doc, f.server));
    QVERIFY(view->Conversation().empty());
    QCOMPARE(view->InputBox()->toPlainText(), QStringLiteral("hi"));
    delete frame.data();
}

void TestSpeakWindow::TranscriptAndFormats()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = Open(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->AppendMessage(Line("bob", "hello", "Arial", 700));
    QCOMPARE(view->Conversation(), std::string("bob: hello"));
    view->AppendMessage(Line("anna", "hi", "Arial", 400));
    // An empty face name changes no format: the line keeps the one before.
    view->AppendMessage(Line("bob", "plain", "", 700));
    QCOMPARE(view->Conversation(), std::string("bob: hello\nanna: hi\nbob: plain"));
    QTextEdit* box = view->ConversationBox();
    QCOMPARE(box->toPlainText(), QStringLiteral("bob: hello\nanna: hi\nbob: plain"));
    QCOMPARE(FormatOfLine(box, 0).fontWeight(), int(QFont::Bold));
    QCOMPARE(FormatOfLine(box, 1).fontWeight(), int(QFont::Normal));
    QCOMPARE(FormatOfLine(box, 2).fontWeight(), int(QFont::Normal));
    delete frame.data();
}

void TestSpeakWindow::EditedToName()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    QPointer<CSpeakWindowFrame> frame = Open(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->ToBox()->setText(QStringLiteral("carol"));
    // The window holds the name as soon as it is typed.
    QCOMPARE(view->To(), std::string("carol"));
    view->InputBox()->setText(QStringLiteral("hey"));
    view->OnSend();
    auto sent = f.server.Expect(Cmd::Message);
    QVERIFY(sent);
    QCOMPARE(sent->recipient, std::string("carol"));
    QCOMPARE(FindSpeakWindow(*f.doc, "carol"), static_cast<CSpeakWindowBase*>(view));
    QVERIFY(!FindSpeakWindow(*f.doc, "bob"));
    delete frame.data();
}

void TestSpeakWindow::CloseLeavesList()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> first = Open(*f.doc, "anna", "bob");
    QPointer<CSpeakWindowFrame> second = Open(*f.doc, "anna", "bob");
    QCOMPARE(FindSpeakWindow(*f.doc, "bob"), static_cast<CSpeakWindowBase*>(first->View()));
    first->close();
    QVERIFY(WaitUntil([&] { return first.isNull(); }));
    // Only the closed window's own entry went; the other holds the same name.
    QCOMPARE(FindSpeakWindow(*f.doc, "bob"), static_cast<CSpeakWindowBase*>(second->View()));
    second->close();
    QVERIFY(WaitUntil([&] { return second.isNull(); }));
    QVERIFY(!FindSpeakWindow(*f.doc, "bob"));
}

QTEST_MAIN(TestSpeakWindow)
#include "tst_speakwindow.moc"
