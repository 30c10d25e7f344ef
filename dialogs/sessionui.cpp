#include "sessionui.h"

#include "netmessage.h"
#include "palaverdoc.h"

CLoginDlgBase::~CLoginDlgBase()
{
    StopAwaiting();
}

void CLoginDlgBase::AwaitAnswer(CPalaverDoc& doc)
{
    if (m_pAwaited != &doc) {
        StopAwaiting();
        m_pAwaited = &doc;
        connect(&doc, &CPalaverDoc::LoginAccepted, this, &CLoginDlgBase::OnLoginAccepted);
        connect(&doc, &CPalaverDoc::LoginRefused, this, &CLoginDlgBase::OnLoginRefused);
        connect(&doc, &CPalaverDoc::AnswersLost, this, &CLoginDlgBase::OnAnswersLost);
    }
    doc.BeginLogin(CLoginRequest{UserName(), Password(), Remember(), AutoLogin()});
}

void CLoginDlgBase::StopAwaiting()
{
    if (!m_pAwaited)
        return;
    disconnect(m_pAwaited, nullptr, this, nullptr);
    m_pAwaited->EndLogin();
    m_pAwaited = nullptr;
}

void CLoginDlgBase::OnLoginAccepted()
{
    EndDialog(0);
}

void CLoginDlgBase::OnLoginRefused()
{
    ShowAgain();
}

void CLoginDlgBase::OnAnswersLost()
{
    // An automatic login waits in view; it too becomes an ordinary dialog.
    if (IsRunning())
        ShowAgain();
}

ISessionView* SessionView(const CPalaverDoc* doc)
{
    return doc ? dynamic_cast<ISessionView*>(doc->View()) : nullptr;
}

CSpeakWindowBase* FindSpeakWindow(const CPalaverDoc& doc, const std::string& name)
{
    for (QObject* object : doc.SpeakWindows()) {
        auto* window = qobject_cast<CSpeakWindowBase*>(object);
        if (window && window->To() == name)
            return window;
    }
    return nullptr;
}

CSpeakWindowBase* ShowConversationLine(const CPalaverDoc& doc, ISessionView& opener, const CNetMessage& line)
{
    if (CSpeakWindowBase* window = FindSpeakWindow(doc, line.sender)) {
        // The window stays where and as the user left it, minimised or
        // behind others: a busy conversation must not keep coming back. The
        // request for attention tells of the line.
        window->AppendMessage(line);
        return window;
    }
    // `line` is the session's own copy: it stays whole while the window
    // opens, even when a box shown meanwhile lets further records in.
    CSpeakWindowBase* opened = opener.OpenSpeakWindow(line.sender, SpeakFocus::Leave);
    if (opened)
        opened->AppendMessage(line);
    return opened;
}
