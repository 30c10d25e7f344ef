#pragma once

#include <QObject>
#include <QPointer>

#include <map>
#include <string>

class CNetMessage;
class CPalaverDoc;
class CPalaverView;
class CSpeakWindowBase;
class INotifier;

// Tells the user about messages that arrive while they look elsewhere: a line
// shown in a conversation window that was not the active window (also while
// another program is) shows a notice with the sender and
// the first line of the text when the user wants notices, and counts as
// unread until that window is activated. Clicking a notice brings its
// conversation forward with the keyboard focus.
class CMessageAlerts final : public QObject
{
    Q_OBJECT

public:
    // Follows the lines `view` shows; the switch for notices is in `doc`'s
    // settings.
    CMessageAlerts(CPalaverDoc& doc, CPalaverView& view, QObject* parent = nullptr);
    ~CMessageAlerts() override;

    // Where notices go; null: nowhere. Not owned.
    void SetNotifier(INotifier* notifier);
    // Messages arrived in windows that have not been activated since.
    int UnreadCount() const;

    // The first line of `text`, cut to a length a notice can show.
    static QString NoticeText(const std::string& text);

signals:
    void UnreadChanged(int count);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A conversation window that has shown a line unseen.
    struct CConversation
    {
        QPointer<CSpeakWindowBase> window;
        std::string sender;
        int unread = 0;
    };

    void OnLineUnseen(CSpeakWindowBase* window, const CNetMessage& line);
    void OnNoticeClicked(quint64 key);
    // The key of `window`'s entry, made when it has none.
    quint64 KeyOf(CSpeakWindowBase* window);
    void SetUnread(CConversation& conversation, int unread);

    QPointer<CPalaverDoc> m_pDoc;
    QPointer<CPalaverView> m_pView;
    QPointer<INotifier> m_pNotifier;
    std::map<quint64, CConversation> m_conversations;
    quint64 m_nextKey = 1;
    int m_nUnread = 0;
};
