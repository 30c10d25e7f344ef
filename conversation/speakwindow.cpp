#include "speakwindow.h"

#include "attention.h"
#include "charformat.h"
#include "historystore.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "sendlimit.h"
#include "speakcommands.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The colour of the earlier lines shown above the rule.
constexpr uint32_t kHistoryGrey = 0x00808080;

// Form 120 is laid out in dialog units of an 8-point dialog font: a
// horizontal unit is 1.5 pixels, a vertical one 1.625.
QRect FromDialogUnits(int x, int y, int w, int h)
{
    auto px = [](int units) { return units * 3 / 2; };
    auto py = [](int units) { return units * 13 / 8; };
    return QRect(px(x), py(y), px(w), py(h));
}

// The input box is a single-line rich edit: Enter sends, and pasted text
// keeps only its first line.
class CSingleLineRichEdit final : public QTextEdit
{
public:
    using QTextEdit::QTextEdit;

protected:
    void insertFromMimeData(const QMimeData* source) override
    {
        if (!source->hasText())
            return;
        const QString text = source->text();
        const qsizetype end = text.indexOf(QRegularExpression(QStringLiteral("[\\r\\n\\x{2029}]")));
        textCursor().insertText(end < 0 ? text : text.left(end));
    }
};

} // namespace

CSpeakWindow::CSpeakWindow(CPalaverDoc* doc, QWidget* parent) : CSpeakWindowBase(parent), m_pDoc(doc)
{
    // The controls in the form's order, which is also the tab order.
    CreateInputControls();
    CreateNameBoxes();
    CreateConversationBox();
    CreateFormatButtons();
    SetTabOrderAndFocus();
    ConnectControls();
    FollowSession();
}

void CSpeakWindow::CreateInputControls()
{
    m_richInput = new CSingleLineRichEdit(this);
    m_richInput->setObjectName(QStringLiteral("input"));
    m_richInput->setGeometry(FromDialogUnits(10, 113, 198, 33));
    m_richInput->setLineWrapMode(QTextEdit::NoWrap);
    m_richInput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_richInput->setAcceptRichText(false);
    m_richInput->setTabChangesFocus(true);
    m_btnSend = new QPushButton(QStringLiteral("&Send"), this);
    m_btnSend->setObjectName(QStringLiteral("send"));
    m_btnSend->setGeometry(FromDialogUnits(209, 113, 50, 33));
    m_btnSend->setDefault(true);
}

void CSpeakWindow::CreateNameBoxes()
{
    // The labels name their boxes for screen readers.
    auto* labelTo = new QLabel(QStringLiteral("To"), this);
    labelTo->setGeometry(FromDialogUnits(10, 5, 10, 8));
    m_editTo = new QLineEdit(this);
    m_editTo->setObjectName(QStringLiteral("to"));
    m_editTo->setGeometry(FromDialogUnits(23, 5, 98, 14));
    labelTo->setBuddy(m_editTo);
    auto* labelFrom = new QLabel(QStringLiteral("From"), this);
    labelFrom->setGeometry(FromDialogUnits(139, 5, 16, 8));
    m_editFrom = new QLineEdit(this);
    m_editFrom->setObjectName(QStringLiteral("from"));
    m_editFrom->setGeometry(FromDialogUnits(166, 5, 96, 14));
    m_editFrom->setReadOnly(true);
    labelFrom->setBuddy(m_editFrom);
    // The labels' dialog-unit widths suit the form's narrow dialog font;
    // with a wider font they grow to their text.
    for (QLabel* label : {labelTo, labelFrom})
        label->resize(std::max(label->width(), label->sizeHint().width()), label->sizeHint().height());
}

void CSpeakWindow::CreateConversationBox()
{
    m_richConversation = new CConversationBox(this);
    m_richConversation->setObjectName(QStringLiteral("conversation"));
    m_richConversation->setGeometry(FromDialogUnits(10, 22, 253, 65));
    m_richConversation->setReadOnly(true);
    m_richConversation->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_richConversation->setTabChangesFocus(true);
    m_richConversation->setAccessibleName(QStringLiteral("Conversation"));
    m_richInput->setAccessibleName(QStringLiteral("Message to send"));
    // Tab skips the read-only boxes, which a click still selects in.
    for (QWidget* readOnly : std::initializer_list<QWidget*>{m_editFrom, m_richConversation})
        readOnly->setFocusPolicy(Qt::ClickFocus);
}

void CSpeakWindow::CreateFormatButtons()
{
    m_btnFont = new QPushButton(QStringLiteral("Fo&nt"), this);
    m_btnFont->setObjectName(QStringLiteral("font"));
    m_btnFont->setGeometry(FromDialogUnits(10, 95, 50, 14));
    m_btnColor = new QPushButton(QStringLiteral("&Color"), this);
    m_btnColor->setObjectName(QStringLiteral("color"));
    m_btnColor->setGeometry(FromDialogUnits(70, 95, 50, 14));
    for (QPushButton* button : {m_btnSend, m_btnFont, m_btnColor})
        button->setAutoDefault(false);
}

void CSpeakWindow::SetTabOrderAndFocus()
{
    setTabOrder(m_richInput, m_btnSend);
    setTabOrder(m_btnSend, m_editTo);
    setTabOrder(m_editTo, m_editFrom);
    setTabOrder(m_editFrom, m_richConversation);
    setTabOrder(m_richConversation, m_btnFont);
    setTabOrder(m_btnFont, m_btnColor);
    // The view passes the focus to the input box; a screen reader still
    // names what holds it.
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_richInput);
    setAccessibleName(QStringLiteral("Instant Message"));
    setMinimumSize(460, 260);
}

void CSpeakWindow::ConnectControls()
{
    // Enter in the single-line input box presses the default button.
    m_richInput->installEventFilter(this);
    connect(m_editTo, &QLineEdit::returnPressed, m_btnSend, &QPushButton::click);
    connect(m_editTo, &QLineEdit::textChanged, this, &CSpeakWindow::OnToChanged);
    connect(m_btnSend, &QPushButton::clicked, this, [this] { OnCommand(ID_SPEAK_SEND); });
    connect(m_btnFont, &QPushButton::clicked, this, [this] { OnCommand(ID_SPEAK_FONT); });
    connect(m_btnColor, &QPushButton::clicked, this, [this] { OnCommand(ID_SPEAK_COLOR); });
}

void CSpeakWindow::FollowSession()
{
    if (!m_pDoc)
        return;
    connect(&m_pDoc->History(), &CHistoryStore::Cleared, this, [this](const QString& owner) {
        if (owner.toStdString() == m_strFrom)
            ForgetHistory();
    });
    connect(&m_pDoc->Outbox(), &COutbox::LineStateChanged, m_richConversation,
            [box = m_richConversation](const std::string& id, LineState state, const QString& reason) {
                box->SetState(id, state, reason);
            });
}

CSpeakWindow::~CSpeakWindow() = default;

CSpeakChoosers& CSpeakWindow::Choosers()
{
    static CSpeakChoosers choosers;
    return choosers;
}

void CSpeakWindow::OnInitialUpdate()
{
    if (m_bInitialUpdateDone)
        return;
    m_bInitialUpdateDone = true;
    UpdateData(false);
    if (m_pDoc)
        m_format = m_pDoc->Settings();
    CNetMessage scratch;
    FillRecordFont(scratch);
    ApplyCharFormat(scratch.font, scratch.faceName, m_richInput, scratch.color, scratch.size,
                    FormatPlace::AsDefault);
    LayoutControls();
    SetBoxBackground(m_format.m_nColor);
}

void CSpeakWindow::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strTo = m_editTo->text().toStdString();
        m_strFrom = m_editFrom->text().toStdString();
        m_strInput = m_richInput->toPlainText().toStdString();
    } else {
        m_editTo->setText(QString::fromStdString(m_strTo));
        m_editFrom->setText(QString::fromStdString(m_strFrom));
        // Rewriting the input box would drop its format: it only changes
        // when it differs.
        if (m_richInput->toPlainText().toStdString() != m_strInput)
            m_richInput->setPlainText(QString::fromStdString(m_strInput));
    }
    // The conversation box is read-only and only AppendMessage writes to
    // it, so m_strConversation already is its text and is never read back
    // (reading back would lose the lines' formats and bytes).
}

QString SpeakWindowTitle(const std::string& to)
{
    return QString::fromStdString(to) + QStringLiteral(" -- Instant Message");
}

void CSpeakWindow::OnToChanged(const QString& to)
{
    // The window is the conversation with whoever its To box names, as it
    // is typed: lines from that name and Send Message to it come here, and
    // the title says who it is.
    m_strTo = to.toStdString();
    if (m_pFrame)
        m_pFrame->setWindowTitle(SpeakWindowTitle(m_strTo));
}

void CSpeakWindow::FillRecordFont(CNetMessage& msg) const
{
    FillRecordFontFrom(m_format, msg);
}

CFontChoice CSpeakWindow::CurrentFont() const
{
    CNetMessage scratch;
    FillRecordFont(scratch);
    return CFontChoice{FontFromRecordFont(scratch.font, scratch.faceName, scratch.size),
                       ColorFromRgb(scratch.color)};
}

void CSpeakWindow::ShowHistory()
{
    if (!m_pDoc || !m_bFirstLine || m_bHistoryShown)
        return;
    const std::vector<CNetMessage> lines = m_pDoc->History().LastLines(m_pDoc->UserName(), m_strTo);
    if (lines.empty())
        return;
    // Each line keeps its face, effects and height; all are grey. A line
    // without a face name takes the format of the line before it, as in the
    // conversation itself. The lines of each day follow its date, in grey
    // italics: they may be from long ago.
    QTextCharFormat format = MakeCharFormat(CLogFont{}, {}, 0, kHistoryGrey);
    QTextCharFormat dayFormat = format;
    dayFormat.setFontItalic(true);
    QTextCursor cursor(m_richConversation->document());
    bool empty = true;
    const auto startBlock = [&cursor, &empty] {
        if (!empty)
            cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        empty = false;
    };
    QString shownDay;
    for (const CNetMessage& line : lines) {
        if (!line.faceName.empty())
            format = MakeCharFormat(line.font, line.faceName, line.size, kHistoryGrey);
        if (const QString day = CConversationBox::DayText(line.time); day != shownDay) {
            startBlock();
            cursor.insertText(day, dayFormat);
            shownDay = day;
        }
        startBlock();
        const int start = cursor.position();
        cursor.insertText(QString::fromStdString(line.sender + ": " + line.text), format);
        m_richConversation->StampTime(start, cursor.position(), line.time);
    }
    // The rule: an empty block of its own, drawn as a line across the box.
    QTextBlockFormat rule;
    rule.setProperty(QTextFormat::BlockTrailingHorizontalRulerWidth,
                     QTextLength(QTextLength::PercentageLength, 100));
    cursor.insertBlock(rule, QTextCharFormat());
    m_richConversation->setTextCursor(cursor);
    m_bHistoryShown = true;
}

void CSpeakWindow::ForgetHistory()
{
    if (!m_bHistoryShown)
        return;
    m_bHistoryShown = false;
    if (m_bFirstLine) {
        m_richConversation->clear();
        return;
    }
    // The earlier lines end with the rule's block; the conversation starts
    // in the block after it and keeps its formats.
    QTextDocument* document = m_richConversation->document();
    QTextBlock rule = document->begin();
    while (rule.isValid() && !rule.blockFormat().hasProperty(QTextFormat::BlockTrailingHorizontalRulerWidth))
        rule = rule.next();
    if (!rule.isValid() || !rule.next().isValid())
        return;
    QTextCursor cursor(document);
    cursor.setPosition(rule.next().position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void CSpeakWindow::AppendMessage(const CNetMessage& msg)
{
    std::string line = msg.sender + ": " + msg.text;
    if (!m_bFirstLine)
        line = "\n" + line;
    UpdateData(true);
    if (m_bFirstLine && m_bHistoryShown) {
        // Below the rule, in a block of its own; the earlier lines keep
        // their grey, so the format goes on the new text only.
        m_strConversation = line;
        QTextCursor cursor = m_richConversation->textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
        m_richConversation->setTextCursor(cursor);
        m_richConversation->setCurrentCharFormat(QTextCharFormat());
        ApplyCharFormat(msg.font, msg.faceName, m_richConversation, msg.color, msg.size, FormatPlace::AtEnd);
    } else if (m_bFirstLine) {
        m_strConversation = line;
        ApplyCharFormat(msg.font, msg.faceName, m_richConversation, msg.color, msg.size,
                        FormatPlace::AsDefault);
    } else {
        m_strConversation += line;
        ApplyCharFormat(msg.font, msg.faceName, m_richConversation, msg.color, msg.size, FormatPlace::AtEnd);
    }
    // The line goes in at the end, in the format in force there; its blocks
    // (not the one its line feed ends) keep when it was said.
    QTextCursor cursor = m_richConversation->textCursor();
    cursor.movePosition(QTextCursor::End);
    const int start = cursor.position() + (line.front() == '\n' ? 1 : 0);
    cursor.insertText(QString::fromStdString(line), m_richConversation->currentCharFormat());
    m_richConversation->StampTime(start, cursor.position(), msg.time);
    m_richConversation->setTextCursor(cursor);
    m_bFirstLine = false;
}

void CSpeakWindow::OnSend()
{
    UpdateData(true);
    if (m_strTo.empty()) {
        ShowMessageBox(QStringLiteral("Please enter a To party ID"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    if (m_strInput.empty())
        return;
    // The line as it is shown here; the session makes the record of it.
    CNetMessage line;
    line.sender = m_strFrom;
    line.recipient = m_strTo;
    line.text = m_strInput;
    FillRecordFont(line);
    if (!CheckSendable(line, this))
        return;
    AppendMessage(line);
    if (m_pDoc) {
        const CSentLine sent = m_pDoc->SendLine(std::move(line));
        if (!sent.id.empty())
            m_richConversation->MarkLastLine(sent.id, sent.state, QString::fromStdString(m_strTo));
    }
    ClearInput();
}

void CSpeakWindow::ClearInput()
{
    // Everything selected and replaced by nothing; the box keeps its format
    // for the next text typed.
    const QTextCharFormat format = m_richInput->currentCharFormat();
    QTextCursor cursor = m_richInput->textCursor();
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    m_richInput->setTextCursor(cursor);
    m_richInput->setCurrentCharFormat(format);
    m_strInput.clear();
}

void CSpeakWindow::LayoutControls()
{
    // Send in the bottom right corner, the input box beside it, the Font and
    // Color buttons above the input box and the conversation box filling the
    // rest below the To and From boxes; 10-pixel margins and gaps.
    const int w = width();
    const int h = height();
    const int ws = m_btnSend->width();
    const int hs = m_btnSend->height();
    const int hi = m_richInput->height();
    const int ht = m_editTo->height();
    m_btnSend->setGeometry(w - ws - 10, h - hs - 10, ws, hs);
    m_richInput->setGeometry(10, h - hi - 10, w - ws - 30, hi);
    m_btnFont->setGeometry(10, h - hi - 44, 80, 24);
    m_btnColor->setGeometry(94, h - hi - 44, 80, 24);
    m_richConversation->setGeometry(10, ht + 20, w - 20, h - hi - ht - 74);
    m_bLayoutPending = false;
}

void CSpeakWindow::resizeEvent(QResizeEvent* event)
{
    CSpeakWindowBase::resizeEvent(event);
    if (!m_bLayoutPending)
        LayoutControls();
}

bool CSpeakWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_richInput && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_btnSend->click();
            return true;
        }
    }
    return CSpeakWindowBase::eventFilter(watched, event);
}

void CSpeakWindow::ShowWithoutFocus()
{
    // Whoever shows a line here asks for attention when the line goes unseen.
    BringForwardWithoutFocus(window());
}

void CSpeakWindow::Activate()
{
    QWidget* frame = window();
    frame->show();
    if (frame->isMinimized())
        frame->showNormal();
    frame->raise();
    frame->activateWindow();
    m_richInput->setFocus();
}
