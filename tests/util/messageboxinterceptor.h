#pragma once

#include "messagebox.h"

#include <QStringList>

#include <chrono>
#include <deque>
#include <functional>
#include <vector>

// Answers every message box of the client while it lives, so no test ever
// waits on a real one, and records what each box would have shown. Like a
// real box it can run a nested event loop before it answers, so records that
// arrive while a box is open are dispatched inside it.
class CMessageBoxInterceptor
{
public:
    CMessageBoxInterceptor();
    ~CMessageBoxInterceptor();

    CMessageBoxInterceptor(const CMessageBoxInterceptor&) = delete;
    CMessageBoxInterceptor& operator=(const CMessageBoxInterceptor&) = delete;

    // Answers used once each, in order, before the default answer: OK for OK
    // and OK/Cancel boxes, Yes for Yes/No boxes, the default No where No is.
    void QueueAnswer(MessageAnswer answer) { m_answers.push_back(answer); }

    // Each box runs an event loop for `duration` before it answers, or less
    // when `until` (if given) comes true first. Zero: answer at once.
    void SetNestedLoop(std::chrono::milliseconds duration, std::function<bool()> until = {});
    // Called as each box opens, before its nested loop.
    void SetOnShow(std::function<void(const CMessageBoxRequest&)> onShow) { m_onShow = std::move(onShow); }

    const std::vector<CMessageBoxRequest>& Requests() const { return m_requests; }
    int Count() const { return static_cast<int>(m_requests.size()); }
    const CMessageBoxRequest& Last() const { return m_requests.back(); }
    QStringList Texts() const;
    // Boxes open at this moment (more than one when boxes nest).
    int OpenCount() const { return m_nOpen; }
    void Clear() { m_requests.clear(); }

    // Waits until `count` boxes have been shown in all.
    bool WaitForCount(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    MessageAnswer Answer(const CMessageBoxRequest& request);

    MessageBoxHandler m_previous;
    std::vector<CMessageBoxRequest> m_requests;
    std::deque<MessageAnswer> m_answers;
    std::chrono::milliseconds m_loop{0};
    std::function<bool()> m_until;
    std::function<void(const CMessageBoxRequest&)> m_onShow;
    int m_nOpen = 0;
};
