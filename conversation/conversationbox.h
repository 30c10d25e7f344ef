#pragma once

#include "outbox.h"

#include <QString>
#include <QTextCursor>
#include <QTextEdit>

#include <string>
#include <vector>

// The words that say where one of the user's lines stands: the short mark
// beside the line, and the whole sentence of its tooltip. `correspondent`
// is the recipient; `reason` the server's text for a line it refused.
QString LineStateWord(LineState state);
QString LineStateTip(LineState state, const QString& correspondent, const QString& reason);

// The conversation box of a conversation window. Each line keeps the moment
// it was said, shown when the pointer rests on it. Each of the user's own
// lines carries a mark at the right end of its first row: a small word
// ("sending…", "sent", "delivered", in grey; "not sent" in red) and, over
// the whole line, a tooltip that says it in full, so the state never rests
// on colour alone. The marks are painted beside the text, in a margin kept
// free for them, and are no part of it: the box's text and the transcript
// stay the conversation alone.
class CConversationBox final : public QTextEdit
{
    Q_OBJECT

public:
    explicit CConversationBox(QWidget* parent = nullptr);

    // The last line of the box is the user's line `id` to `correspondent`.
    void MarkLastLine(const std::string& id, LineState state, const QString& correspondent);
    // The line `id` stands at `state` now. False when no line here is `id`.
    bool SetState(const std::string& id, LineState state, const QString& reason);

    // The text from `from` to `to` (whole blocks) is a line said at `time`
    // (seconds since 1970).
    void StampTime(int from, int to, qint64 time);
    // When a line was said, and the day alone, in local time and English
    // names as the offline messages show them.
    static QString TimeText(qint64 time);
    static QString DayText(qint64 time);
    // The tooltip at `pos` in the viewport: when the line there was said
    // and, for the user's own lines, where it stands. Empty off the lines.
    QString TipAt(const QPoint& pos) const;

    // The user's lines marked here so far, and the word and tooltip of the
    // mark of the `n`th of them (from 0).
    int MarkCount() const { return static_cast<int>(m_marks.size()); }
    QString MarkWord(int n) const;
    QString MarkTip(int n) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    struct CMark
    {
        std::string id;
        QTextCursor line; // at the start of the line's block; follows edits before it
        LineState state;
        QString correspondent;
        QString reason;
    };

    // The line's block, and its first row, where the viewport shows them.
    QRectF BlockRect(const CMark& mark) const;
    QRectF FirstRowRect(const CMark& mark) const;
    QFont MarkFont() const;
    // Keeps the right margin of the text free for the marks.
    void ReserveMarkColumn();

    std::vector<CMark> m_marks;
};
