#pragma once

// What the windows share about the session they show: the conversation
// window as the friends list view and the session's lines reach it, the
// login dialog's answers, and the view that opens conversation windows.

#include "modaldialog.h"

#include <QPointer>
#include <QWidget>

#include <string>

class CNetMessage;
class CPalaverDoc;

// A conversation window as the friends list view sees it.
class CSpeakWindowBase : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // The correspondent: the name the window holds now (its To name).
    virtual std::string To() const = 0;
    // Adds the record's line in the record's font and colour.
    virtual void AppendMessage(const CNetMessage& msg) = 0;
    // Gives the window the keyboard focus and brings it forward.
    virtual void Activate() = 0;
    // Brings it forward and leaves the keyboard focus where it is.
    virtual void ShowWithoutFocus() = 0;
};

// The login dialog's values, and its part in the session's answers: once it
// has sent "L" (AwaitAnswer), the session's LoginAccepted ends its run,
// LoginRefused and a lost connection show it again. The session waits for
// it until its run is over.
class CLoginDlgBase : public CModalDialog
{
    Q_OBJECT

public:
    using CModalDialog::CModalDialog;
    ~CLoginDlgBase() override;

    virtual std::string UserName() const = 0;
    virtual std::string Password() const = 0;
    virtual int Remember() const = 0;
    virtual int AutoLogin() const = 0;
    // Shown again after a refused or lost login, for the user to correct the
    // input: an ordinary login dialog, whether the login was typed or automatic.
    virtual void ShowAgain() { show(); }

    // Tells `doc` the values just sent and answers its signals from now on.
    void AwaitAnswer(CPalaverDoc& doc);
    // The session waits no longer (the run is over, or the dialog goes).
    void StopAwaiting();

protected:
    void OnEndRun() override { StopAwaiting(); }

private:
    void OnLoginAccepted();
    void OnLoginRefused();
    void OnAnswersLost();

    QPointer<CPalaverDoc> m_pAwaited;
};

// Whether a window that comes forward takes the keyboard focus: it does when
// the user asked for it, not when a message from the server brought it.
enum class SpeakFocus { Take, Leave };

// The friends list view as the other windows reach it (CPalaverDoc::View).
class ISessionView
{
public:
    virtual ~ISessionView() = default;

    // Opens, or brings forward, the conversation window for `name`, and
    // returns it; null when it could not be made (the user was told).
    virtual CSpeakWindowBase* OpenSpeakWindow(const std::string& name,
                                              SpeakFocus focus = SpeakFocus::Take) = 0;
};

// The session's view, or null when it has none (or it has gone).
ISessionView* SessionView(const CPalaverDoc* doc);

// The open conversation window whose correspondent is `name`, or null.
CSpeakWindowBase* FindSpeakWindow(const CPalaverDoc& doc, const std::string& name);

// A line of a conversation from the server ("SM"): appended in its
// correspondent's window, which stays as it is (minimised, or behind other
// windows); a new correspondent gets a window of its own, opened through
// `opener` and shown without the focus. Returns the window that shows the
// line, or null.
CSpeakWindowBase* ShowConversationLine(const CPalaverDoc& doc, ISessionView& opener, const CNetMessage& line);
