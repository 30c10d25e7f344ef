// The formats of a conversation window: each line in its sender's effects,
// height and colour, the window's own font from the chooser, the fallback
// font of records, the background colour and the return to the defaults.
#include "charformat.h"
#include "fontcolordlg.h"
#include "sessionfixture.h"
#include "tst_speakutil.h"
#include "waits.h"

#include <QFontDialog>
#include <QPalette>
#include <QPointer>
#include <QTest>

#include <cstring>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

class TestSpeakFormat : public QObject
{
    Q_OBJECT

private slots:
    void LineEffects_data();
    void LineEffects();
    void EmptyFaceNameKeepsFormat();
    void FallbackFontOfRecords();
    void InitialUpdateTakesSettings();
    void ChosenFontReachesInputAndRecords();
    void CancelledOrFacelessChoiceChangesNothing();
    void ChooserStartsFromWindowFont();
    void BackgroundAndDefaults();
    void FontChooserEndsAsOne();
};

void TestSpeakFormat::LineEffects_data()
{
    QTest::addColumn<int>("weight");
    QTest::addColumn<int>("italic");
    QTest::addColumn<int>("underline");
    QTest::addColumn<int>("strike");
    QTest::addColumn<int>("size");
    QTest::addColumn<uint>("color");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<double>("points");
    QTest::addColumn<QColor>("shown");
    QTest::addColumn<QString>("face");
    QTest::addColumn<int>("charSet");
    QTest::addColumn<int>("pitchAndFamily");
    QTest::addColumn<int>("hint");

    // The face name, character set and pitch and family travel with each
    // line: the family shown, the style hint for a face that is not here.
    QTest::newRow("600 is not bold") << 600 << 0 << 0 << 0 << 240 << 0x000000u << false << 12.0
                                     << QColor(0, 0, 0) << "Arial" << 0 << 0x22 << int(QFont::SansSerif);
    QTest::newRow("700 is bold") << 700 << 0 << 0 << 0 << 240 << 0x0000FFu << true << 12.0
                                 << QColor(255, 0, 0) << "Times New Roman" << 0 << 0x12 << int(QFont::Serif);
    QTest::newRow("800 is not bold") << 800 << 0 << 0 << 0 << 200 << 0x00FF00u << false << 10.0
                                     << QColor(0, 255, 0) << "Courier New" << 204 << 0x31
                                     << int(QFont::TypeWriter);
    QTest::newRow("italic") << 400 << 1 << 0 << 0 << 300 << 0xFF0000u << false << 15.0 << QColor(0, 0, 255)
                            << "Comic Sans MS" << 0 << 0x40 << int(QFont::Cursive);
    QTest::newRow("underline") << 400 << 0 << 1 << 0 << 180 << 0x336699u << false << 9.0
                               << QColor(0x99, 0x66, 0x33) << "Wingdings" << 2 << 0x52
                               << int(QFont::Decorative);
    QTest::newRow("strike-out") << 700 << 0 << 0 << 1 << 160 << 0x000000u << true << 8.0 << QColor(0, 0, 0)
                                << "DejaVu Sans" << 0 << 0 << int(QFont::AnyStyle);
    // Heights below 6 points are shown at 6 points.
    QTest::newRow("old fallback 10") << 400 << 0 << 0 << 0 << 10 << 0x000000u << false << 6.0
                                     << QColor(0, 0, 0) << "Arial" << 0 << 0 << int(QFont::AnyStyle);
    QTest::newRow("119") << 400 << 0 << 0 << 0 << 119 << 0x000000u << false << 6.0 << QColor(0, 0, 0)
                         << "Arial" << 0 << 0 << int(QFont::AnyStyle);
}

void TestSpeakFormat::LineEffects()
{
    QFETCH(int, weight);
    QFETCH(int, italic);
    QFETCH(int, underline);
    QFETCH(int, strike);
    QFETCH(int, size);
    QFETCH(uint, color);
    QFETCH(bool, bold);
    QFETCH(double, points);
    QFETCH(QColor, shown);
    QFETCH(QString, face);
    QFETCH(int, charSet);
    QFETCH(int, pitchAndFamily);
    QFETCH(int, hint);

    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    // A plain first line, then the line under test behind it (AtEnd), and
    // the same as a first line in a second window (AsDefault).
    view->AppendMessage(ReceivedLine("anna", "first", "Arial", 400, 0x808080, 200));
    for (int first = 0; first < 2; ++first) {
        CNetMessage line = ReceivedLine("bob", "effects", qPrintable(face), weight, color, size);
        line.font.lfCharSet = static_cast<uint8_t>(charSet);
        line.font.lfPitchAndFamily = static_cast<uint8_t>(pitchAndFamily);
        line.font.lfItalic = static_cast<uint8_t>(italic);
        line.font.lfUnderline = static_cast<uint8_t>(underline);
        line.font.lfStrikeOut = static_cast<uint8_t>(strike);
        QPointer<CSpeakWindowFrame> other;
        CSpeakWindow* target = view;
        if (first) {
            other = OpenSpeakFrame(*f.doc, "anna", "bob");
            target = other->View();
        }
        target->AppendMessage(line);
        const QTextCharFormat format = FormatOfLine(target->ConversationBox(), first ? 0 : 1);
        QCOMPARE(format.fontWeight() == QFont::Bold, bold);
        QCOMPARE(format.fontItalic(), italic != 0);
        QCOMPARE(format.fontUnderline(), underline != 0);
        QCOMPARE(format.fontStrikeOut(), strike != 0);
        QCOMPARE(format.fontPointSize(), points);
        QCOMPARE(format.foreground().color(), shown);
        QCOMPARE(format.fontFamilies().toStringList(), QStringList{face});
        QCOMPARE(format.fontStyleHint(), QFont::StyleHint(hint));
        QCOMPARE(format.fontFixedPitch(), (pitchAndFamily & 3) == 1);
        QCOMPARE(format.intProperty(kCharSetProperty), charSet);
        QCOMPARE(format.intProperty(kPitchAndFamilyProperty), pitchAndFamily);
        delete other.data();
    }
    // The line before keeps its own format.
    const QTextCharFormat before = FormatOfLine(view->ConversationBox(), 0);
    QCOMPARE(before.foreground().color(), QColor(0x80, 0x80, 0x80));
    QCOMPARE(before.fontPointSize(), 10.0);
    QCOMPARE(before.fontFamilies().toStringList(), QStringList{QStringLiteral("Arial")});
    delete frame.data();
}

void TestSpeakFormat::EmptyFaceNameKeepsFormat()
{
    CSessionFixture f;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->AppendMessage(ReceivedLine("bob", "red", "Arial", 700, 0x0000FF, 280));
    view->AppendMessage(ReceivedLine("bob", "no face", "", 400, 0x00FF00, 100));
    QCOMPARE(view->Conversation(), std::string("bob: red\nbob: no face"));
    const QTextCharFormat format = FormatOfLine(view->ConversationBox(), 1);
    QCOMPARE(format.fontWeight(), int(QFont::Bold));
    QCOMPARE(format.foreground().color(), QColor(255, 0, 0));
    QCOMPARE(format.fontPointSize(), 14.0);
    delete frame.data();
}

void TestSpeakFormat::FallbackFontOfRecords()
{
    CSessionFixture f;
    // A face name as text only: the record's font is chosen by the face name
    // inside the font description, which is empty.
    f.doc->Settings().m_strFaceName = "Courier";
    f.doc->Settings().m_nFontColor = 0x123456;
    f.doc->Settings().m_nHeight = 300;
    f.doc->Settings().m_font.lfWeight = 600;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CNetMessage msg;
    frame->View()->FillRecordFont(msg);
    QCOMPARE(msg.faceName, std::string("Arial"));
    QCOMPARE(msg.color, 0u);
    QCOMPARE(msg.size, 200);
    QCOMPARE(msg.font.lfWeight, 600);
    QCOMPARE(msg.font.lfFaceName[0], '\0');
    delete frame.data();
}

void TestSpeakFormat::InitialUpdateTakesSettings()
{
    CSessionFixture f;
    CUserSettings& settings = f.doc->Settings();
    std::strcpy(settings.m_font.lfFaceName, "DejaVu Serif");
    settings.m_font.lfWeight = 700;
    settings.m_font.lfUnderline = 1;
    settings.m_strFaceName = "DejaVu Serif";
    settings.m_nFontColor = 0x00FF00;
    settings.m_nHeight = 320;
    settings.m_nColor = 0xE0FFFF;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    // The window works on its own copy of the settings.
    settings.m_nHeight = 100;
    QCOMPARE(view->Format().m_nHeight, 320);
    QTest::keyClicks(view->InputBox(), QStringLiteral("typed"));
    const QTextCharFormat typed = FormatOfLine(view->InputBox(), 0);
    QCOMPARE(typed.fontWeight(), int(QFont::Bold));
    QVERIFY(typed.fontUnderline());
    QCOMPARE(typed.fontPointSize(), 16.0);
    QCOMPARE(typed.foreground().color(), QColor(0, 255, 0));
    QCOMPARE(view->InputBox()->palette().color(QPalette::Base), QColor(0xFF, 0xFF, 0xE0));
    QCOMPARE(view->ConversationBox()->palette().color(QPalette::Base), QColor(0xFF, 0xFF, 0xE0));
    delete frame.data();
}

void TestSpeakFormat::ChosenFontReachesInputAndRecords()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    CChooserScope choosers;
    QFont chosen(QStringLiteral("DejaVu Sans"));
    chosen.setPointSize(14);
    chosen.setWeight(QFont::Bold);
    chosen.setStrikeOut(true);
    int asked = 0;
    choosers->font = [&](QWidget*, const CFontChoice&) -> std::optional<CFontChoice> {
        ++asked;
        return CFontChoice{chosen, QColor(0x11, 0x22, 0x33)};
    };
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->InputBox()->setPlainText(QStringLiteral("hello"));
    view->FontButton()->click();
    QCOMPARE(asked, 1);
    QCOMPARE(view->Format().m_strFaceName, std::string("DejaVu Sans"));
    QCOMPARE(view->Format().m_nHeight, 280);
    QCOMPARE(view->Format().m_nFontColor, 0x332211u);
    // The text already typed shows the choice at once.
    const QTextCharFormat input = FormatOfLine(view->InputBox(), 0);
    QCOMPARE(input.fontWeight(), int(QFont::Bold));
    QVERIFY(input.fontStrikeOut());
    QCOMPARE(input.fontPointSize(), 14.0);
    QCOMPARE(input.foreground().color(), QColor(0x11, 0x22, 0x33));
    // The settings are not changed; the lines sent from now on carry it.
    QVERIFY(f.doc->Settings().m_strFaceName.empty());
    view->OnSend();
    auto sent = f.server.Expect(Cmd::Message);
    QVERIFY(sent);
    QCOMPARE(sent->faceName, std::string("DejaVu Sans"));
    QCOMPARE(sent->font.lfWeight, 700);
    QCOMPARE(int(sent->font.lfStrikeOut), 1);
    QCOMPARE(sent->color, 0x332211u);
    QCOMPARE(sent->size, 280);
    QCOMPARE(FormatOfLine(view->ConversationBox(), 0).fontPointSize(), 14.0);
    // The toolbar and the menu lead to the same chooser.
    frame->CommandAction(57696)->trigger();
    QCOMPARE(asked, 2);
    delete frame.data();
}

void TestSpeakFormat::CancelledOrFacelessChoiceChangesNothing()
{
    CSessionFixture f;
    CChooserScope choosers;
    std::optional<CFontChoice> answer;
    choosers->font = [&](QWidget*, const CFontChoice&) { return answer; };
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->OnFont();
    QFont faceless;
    faceless.setFamily(QString());
    answer = CFontChoice{faceless, Qt::red};
    view->OnFont();
    QVERIFY(view->Format().m_strFaceName.empty());
    QCOMPARE(view->Format().m_nHeight, 0);
    CNetMessage msg;
    view->FillRecordFont(msg);
    QCOMPARE(msg.faceName, std::string("Arial"));
    delete frame.data();
}

void TestSpeakFormat::ChooserStartsFromWindowFont()
{
    CSessionFixture f;
    // Lines go out once the user is logged in.
    QVERIFY(LogInAs(*f.doc, f.server, "anna"));
    CChooserScope choosers;
    std::vector<CFontChoice> started;
    // OK without a change: the chooser gives back what it started from.
    choosers->font = [&](QWidget*, const CFontChoice& current) {
        started.push_back(current);
        return std::optional<CFontChoice>(current);
    };
    // A user who never chose a font starts from the fallback: Arial, 10
    // points, black, regular.
    QPointer<CSpeakWindowFrame> plain = OpenSpeakFrame(*f.doc, "anna", "bob");
    plain->View()->OnFont();
    // A window in the settings' font starts from it, effects and colour too.
    CLogFont& font = f.doc->Settings().m_font;
    std::strcpy(font.lfFaceName, "DejaVu Sans");
    font.lfWeight = 700;
    font.lfItalic = 1;
    f.doc->Settings().m_nHeight = 280;
    f.doc->Settings().m_nFontColor = 0x0000FF;
    QPointer<CSpeakWindowFrame> styled = OpenSpeakFrame(*f.doc, "anna", "cy");
    styled->View()->OnFont();
    QCOMPARE(started.size(), std::size_t(2));
    QCOMPARE(started[0].font.family(), QStringLiteral("Arial"));
    QCOMPARE(started[0].font.pointSizeF(), 10.0);
    QVERIFY(!started[0].font.bold() && !started[0].font.italic());
    QCOMPARE(started[0].color, QColor(Qt::black));
    QCOMPARE(started[1].font.family(), QStringLiteral("DejaVu Sans"));
    QCOMPARE(started[1].font.pointSizeF(), 14.0);
    QVERIFY(started[1].font.bold() && started[1].font.italic());
    QCOMPARE(started[1].color, QColor(255, 0, 0));
    // Nothing changed: what is sent and shown is what was before.
    for (const auto& [frame, face, size, color] :
         {std::tuple{plain, "Arial", 200, 0u}, std::tuple{styled, "DejaVu Sans", 280, 0x0000FFu}}) {
        frame->View()->InputBox()->setPlainText(QStringLiteral("hi"));
        frame->View()->OnSend();
        auto sent = f.server.Expect(Cmd::Message);
        QVERIFY(sent);
        QCOMPARE(sent->faceName, std::string(face));
        QCOMPARE(sent->size, size);
        QCOMPARE(sent->color, color);
        QCOMPARE(sent->font.lfWeight == 700, size == 280);
    }
    QCOMPARE(styled->View()->InputBox()->currentCharFormat().fontPointSize(), 14.0);
    delete plain.data();
    delete styled.data();
}

void TestSpeakFormat::BackgroundAndDefaults()
{
    CSessionFixture f;
    CChooserScope choosers;
    std::optional<QColor> color = QColor(0x10, 0x20, 0x30);
    choosers->color = [&](QWidget*) { return color; };
    choosers->font = [](QWidget*, const CFontChoice&) -> std::optional<CFontChoice> {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(20);
        return CFontChoice{font, Qt::blue};
    };
    f.doc->Settings().m_nColor = 0xFFFFFF;
    QPointer<CSpeakWindowFrame> frame = OpenSpeakFrame(*f.doc, "anna", "bob");
    CSpeakWindow* view = frame->View();
    view->ColorButton()->click();
    QCOMPARE(view->Format().m_nColor, 0x302010u);
    QCOMPARE(view->InputBox()->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
    QCOMPARE(view->ConversationBox()->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
    QCOMPARE(f.doc->Settings().m_nColor, 0xFFFFFFu);
    // Cancel keeps the colour.
    color.reset();
    view->OnColor();
    QCOMPARE(view->Format().m_nColor, 0x302010u);

    view->OnFont();
    QCOMPARE(view->Format().m_nHeight, 400);
    // Default Font and Color: a fresh copy of the settings, their colour.
    frame->CommandAction(32797)->trigger();
    QCOMPARE(view->Format().m_nHeight, 0);
    QCOMPARE(view->Format().m_nColor, 0xFFFFFFu);
    QCOMPARE(view->InputBox()->palette().color(QPalette::Base), QColor(Qt::white));
    CNetMessage msg;
    view->FillRecordFont(msg);
    QCOMPARE(msg.faceName, std::string("Arial"));
    delete frame.data();
}

void TestSpeakFormat::FontChooserEndsAsOne()
{
    // The chooser itself, never run: its parts and how it ends.
    CFontColorDlg dialog(QFont(QStringLiteral("DejaVu Sans")), Qt::black);
    dialog.show();
    auto* font = dialog.findChild<QFontDialog*>();
    QVERIFY(font && font->isVisible());
    QVERIFY(dialog.findChild<QPushButton*>(QStringLiteral("fontColor")));
    QCOMPARE(dialog.SelectedColor(), QColor(Qt::black));
    QVERIFY(!dialog.SelectedFont().family().isEmpty());
    // Esc inside the font part cancels the whole chooser.
    QTest::keyClick(font, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

QTEST_MAIN(TestSpeakFormat)
#include "tst_speakformat.moc"
