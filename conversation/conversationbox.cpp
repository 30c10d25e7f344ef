#include "conversationbox.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QHelpEvent>
#include <QLocale>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextFrame>
#include <QTextLayout>
#include <QToolTip>

#include <algorithm>

namespace {

const QColor kMarkGrey(0x70, 0x70, 0x70);
const QColor kMarkRed(0xB0, 0x00, 0x00);
// Space between the text and the marks, and after the marks.
constexpr int kMarkGap = 8;
// Where a line's block keeps the moment it was said.
constexpr int kLineTimeProperty = QTextFormat::UserProperty + 10;

} // namespace

QString LineStateWord(LineState state)
{
    switch (state) {
    case LineState::Sending:
        return QStringLiteral("sending\u2026");
    case LineState::Sent:
    case LineState::Stored:
        return QStringLiteral("sent");
    case LineState::Delivered:
        return QStringLiteral("delivered");
    case LineState::Failed:
        return QStringLiteral("not sent");
    }
    return {};
}

QString LineStateTip(LineState state, const QString& correspondent, const QString& reason)
{
    switch (state) {
    case LineState::Sending:
        return QStringLiteral("Sending: not yet confirmed by the server; it goes out again after each "
                              "login until it is");
    case LineState::Sent:
        return QStringLiteral("Sent to the server, which does not confirm delivery");
    case LineState::Stored:
        return QStringLiteral("Sent: the server keeps it until %1 logs in").arg(correspondent);
    case LineState::Delivered:
        return QStringLiteral("Delivered to %1").arg(correspondent);
    case LineState::Failed:
        return QStringLiteral("Not sent: %1").arg(reason);
    }
    return {};
}

CConversationBox::CConversationBox(QWidget* parent) : QTextEdit(parent) {}

void CConversationBox::MarkLastLine(const std::string& id, LineState state, const QString& correspondent)
{
    QTextCursor line(document()->lastBlock());
    m_marks.push_back(CMark{id, line, state, correspondent, {}});
    ReserveMarkColumn();
    viewport()->update();
}

bool CConversationBox::SetState(const std::string& id, LineState state, const QString& reason)
{
    auto it =
        std::find_if(m_marks.begin(), m_marks.end(), [&id](const CMark& mark) { return mark.id == id; });
    if (it == m_marks.end())
        return false;
    it->state = state;
    it->reason = reason;
    viewport()->update();
    return true;
}

void CConversationBox::StampTime(int from, int to, qint64 time)
{
    QTextCursor line(document());
    line.setPosition(from);
    line.setPosition(to, QTextCursor::KeepAnchor);
    QTextBlockFormat stamp;
    stamp.setProperty(kLineTimeProperty, time);
    line.mergeBlockFormat(stamp);
}

QString CConversationBox::TimeText(qint64 time)
{
    // Local time as the user's clock shows it, but English names: it reads
    // the same whatever language the desktop uses.
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time, Qt::LocalTime);
    return QLocale(QLocale::English, QLocale::UnitedStates)
        .toString(local, QStringLiteral("dddd, MMMM, dd, yyyy, HH:mm:ss"));
}

QString CConversationBox::DayText(qint64 time)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time, Qt::LocalTime);
    return QLocale(QLocale::English, QLocale::UnitedStates)
        .toString(local, QStringLiteral("dddd, MMMM, dd, yyyy"));
}

QString CConversationBox::TipAt(const QPoint& pos) const
{
    const QTextBlock block = cursorForPosition(pos).block();
    QRectF rect = document()->documentLayout()->blockBoundingRect(block);
    rect.translate(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
    if (!block.isValid() || pos.y() < rect.top() || pos.y() > rect.bottom())
        return {};
    QStringList tip;
    const QVariant time = block.blockFormat().property(kLineTimeProperty);
    if (time.isValid())
        tip.append(TimeText(time.toLongLong()));
    for (const CMark& mark : m_marks)
        if (mark.line.block() == block)
            tip.append(LineStateTip(mark.state, mark.correspondent, mark.reason));
    return tip.join(QLatin1Char('\n'));
}

QString CConversationBox::MarkWord(int n) const
{
    return n >= 0 && n < MarkCount() ? LineStateWord(m_marks[std::size_t(n)].state) : QString();
}

QString CConversationBox::MarkTip(int n) const
{
    if (n < 0 || n >= MarkCount())
        return {};
    const CMark& mark = m_marks[std::size_t(n)];
    return LineStateTip(mark.state, mark.correspondent, mark.reason);
}

QFont CConversationBox::MarkFont() const
{
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() * 0.8));
    return small;
}

void CConversationBox::ReserveMarkColumn()
{
    // Clearing the box gives the document a fresh frame format: the margin
    // is checked at each new mark.
    const QFontMetrics metrics(MarkFont());
    int widest = 0;
    for (LineState state : {LineState::Sending, LineState::Delivered, LineState::Failed})
        widest = std::max(widest, metrics.horizontalAdvance(LineStateWord(state)));
    QTextFrameFormat format = document()->rootFrame()->frameFormat();
    const qreal margin = widest + 2 * kMarkGap;
    if (format.rightMargin() == margin)
        return;
    format.setRightMargin(margin);
    document()->rootFrame()->setFrameFormat(format);
}

QRectF CConversationBox::BlockRect(const CMark& mark) const
{
    const QTextBlock block = mark.line.block();
    if (!block.isValid())
        return {};
    QRectF rect = document()->documentLayout()->blockBoundingRect(block);
    rect.translate(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
    return rect;
}

QRectF CConversationBox::FirstRowRect(const CMark& mark) const
{
    const QRectF block = BlockRect(mark);
    const QTextLayout* layout = mark.line.block().layout();
    if (block.isNull() || !layout || layout->lineCount() == 0)
        return {};
    const QTextLine row = layout->lineAt(0);
    return QRectF(0, block.top() + row.y(), viewport()->width() - kMarkGap, row.height());
}

void CConversationBox::paintEvent(QPaintEvent* event)
{
    QTextEdit::paintEvent(event);
    if (m_marks.empty())
        return;
    QPainter painter(viewport());
    painter.setFont(MarkFont());
    for (const CMark& mark : m_marks) {
        const QRectF row = FirstRowRect(mark);
        if (row.isNull() || row.bottom() < 0 || row.top() > viewport()->height())
            continue;
        painter.setPen(mark.state == LineState::Failed ? kMarkRed : kMarkGrey);
        painter.drawText(row, Qt::AlignRight | Qt::AlignVCenter, LineStateWord(mark.state));
    }
}

bool CConversationBox::viewportEvent(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QTextEdit::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString tip = TipAt(help->pos());
    if (!tip.isEmpty()) {
        QToolTip::showText(help->globalPos(), tip, viewport());
        return true;
    }
    QToolTip::hideText();
    event->ignore();
    return true;
}
