#include "messagealerts.h"

#include "netmessage.h"
#include "notifier.h"
#include "palaverdoc.h"
#include "palaverview.h"

#include <QEvent>
#include <QWidget>

namespace {

// Longer first lines are cut here: a notice is a glimpse, not the message.
constexpr qsizetype kNoticeLength = 200;

} // namespace

CMessageAlerts::CMessageAlerts(CPalaverDoc& doc, CPalaverView& view, QObject* parent)
    : QObject(parent), m_pDoc(&doc), m_pView(&view)
{
    connect(&view, &CPalaverView::LineUnseen, this, &CMessageAlerts::OnLineUnseen);
}

CMessageAlerts::~CMessageAlerts() = default;

void CMessageAlerts::SetNotifier(INotifier* notifier)
{
    if (m_pNotifier)
        disconnect(m_pNotifier, nullptr, this, nullptr);
    m_pNotifier = notifier;
    if (notifier)
        connect(notifier, &INotifier::Clicked, this, &CMessageAlerts::OnNoticeClicked);
}

int CMessageAlerts::UnreadCount() const
{
    return m_nUnread;
}

QString CMessageAlerts::NoticeText(const std::string& text)
{
    QString line = QString::fromStdString(text);
    const qsizetype end = line.indexOf(QLatin1Char('\n'));
    if (end >= 0)
        line.truncate(end);
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (line.size() > kNoticeLength)
        line = line.left(kNoticeLength - 1) + QChar(0x2026);
    return line;
}

quint64 CMessageAlerts::KeyOf(CSpeakWindowBase* window)
{
    for (const auto& [key, conversation] : m_conversations)
        if (conversation.window == window)
            return key;
    const quint64 key = m_nextKey++;
    m_conversations[key].window = window;
    // A closed window has nothing unread; its notices still open its
    // correspondent's conversation.
    connect(window, &QObject::destroyed, this, [this, key] {
        const auto found = m_conversations.find(key);
        if (found != m_conversations.end())
            SetUnread(found->second, 0);
    });
    window->window()->installEventFilter(this);
    return key;
}

void CMessageAlerts::SetUnread(CConversation& conversation, int unread)
{
    if (conversation.unread == unread)
        return;
    m_nUnread += unread - conversation.unread;
    conversation.unread = unread;
    emit UnreadChanged(m_nUnread);
}

void CMessageAlerts::OnLineUnseen(CSpeakWindowBase* window, const CNetMessage& line)
{
    if (!window)
        return;
    const quint64 key = KeyOf(window);
    CConversation& conversation = m_conversations[key];
    conversation.sender = line.sender;
    SetUnread(conversation, conversation.unread + 1);
    if (m_pNotifier && m_pDoc && m_pDoc->Settings().m_nNotify != 0)
        m_pNotifier->Show(key, QString::fromStdString(line.sender), NoticeText(line.text));
}

void CMessageAlerts::OnNoticeClicked(quint64 key)
{
    const auto found = m_conversations.find(key);
    if (found == m_conversations.end())
        return;
    if (CSpeakWindowBase* window = found->second.window) {
        window->Activate();
        SetUnread(found->second, 0);
    } else if (m_pView) {
        m_pView->OpenSpeakWindow(found->second.sender, SpeakFocus::Take);
    }
}

bool CMessageAlerts::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::WindowActivate) {
        for (auto& [key, conversation] : m_conversations)
            if (conversation.window && conversation.window->window() == watched)
                SetUnread(conversation, 0);
    }
    return QObject::eventFilter(watched, event);
}
