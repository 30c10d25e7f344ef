#pragma once

#include <QDialog>
#include <QPointer>

#include <chrono>
#include <memory>
#include <string>

class CNetMessage;
class CPalaverDoc;
class QPlainTextEdit;

// The answer to another user's friend request: a modeless window of its own
// for every request. Each way of leaving it sends exactly one answer ("AFA",
// "AFJ" or "AFD") to the requester, pauses, and closes; closing deletes it.
class CAcceptFriendDlg final : public QDialog
{
    Q_OBJECT

public:
    explicit CAcceptFriendDlg(CPalaverDoc* pDoc, QWidget* parent = nullptr,
                              std::chrono::milliseconds answerPause = std::chrono::milliseconds(200));
    ~CAcceptFriendDlg() override;

    // The request's text, shown with its line breaks (CR LF, LF or CR).
    void SetInvitation(const std::string& invitation) { m_strInvitation = invitation; }
    // The requesting user, to whom the answer goes.
    void SetRequester(const std::string& requester);
    void UpdateData(bool saveAndValidate);

    const std::string& Invitation() const { return m_strInvitation; }
    const CNetMessage& Reply() const { return *m_pReply; }

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

private:
    void OnOK();
    void OnJustAccept();
    void OnCancel();
    // Sends the one answer and closes with `result` after the answer pause.
    void Answer(const char* command, const std::string& text, int result);

    std::string m_strInvitation;
    QPointer<CPalaverDoc> m_pDoc;
    std::unique_ptr<CNetMessage> m_pReply;
    std::chrono::milliseconds m_answerPause;
    bool m_bAnswered = false;

    QPlainTextEdit* m_editInvitation = nullptr;
};
