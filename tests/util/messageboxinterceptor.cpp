#include "messageboxinterceptor.h"

#include "waits.h"

#include <QEventLoop>
#include <QTimer>

CMessageBoxInterceptor::CMessageBoxInterceptor()
{
    m_previous = SetMessageBoxHandler([this](const CMessageBoxRequest& request) { return Answer(request); });
    // Quiet boxes of an earlier test do not count here.
    CloseQuietMessageBoxes();
}

CMessageBoxInterceptor::~CMessageBoxInterceptor()
{
    SetMessageBoxHandler(std::move(m_previous));
}

void CMessageBoxInterceptor::SetNestedLoop(std::chrono::milliseconds duration, std::function<bool()> until)
{
    m_loop = duration;
    m_until = std::move(until);
}

QStringList CMessageBoxInterceptor::Texts() const
{
    QStringList texts;
    for (const CMessageBoxRequest& request : m_requests)
        texts.append(request.text);
    return texts;
}

bool CMessageBoxInterceptor::WaitForCount(int count, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return Count() >= count; }, timeout);
}

MessageAnswer CMessageBoxInterceptor::Answer(const CMessageBoxRequest& request)
{
    m_requests.push_back(request);
    // A quiet box waits for nothing: no loop, and no queued answer spent.
    if (request.quiet)
        return MessageAnswer::Ok;
    ++m_nOpen;
    if (m_onShow)
        m_onShow(request);
    if (m_loop.count() > 0) {
        // A nested loop as QMessageBox::exec runs one.
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(m_loop);
        QTimer poll;
        if (m_until) {
            const std::function<bool()> until = m_until;
            QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, until] {
                if (until())
                    loop.quit();
            });
            poll.start(5);
        }
        if (!m_until || !m_until())
            loop.exec();
    }
    --m_nOpen;

    if (!m_answers.empty()) {
        const MessageAnswer answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    if (request.buttons == MessageButtons::YesNoDefaultNo)
        return MessageAnswer::No;
    return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}
