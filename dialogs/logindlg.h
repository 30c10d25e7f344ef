#pragma once

#include "sessionui.h"

#include <QMetaObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

class CNetMessage;
class CPalaverDoc;
class CRegistrationDlg;
class QCheckBox;
class QLineEdit;
class QPushButton;

// The login dialog. It validates the user name and password, sends "L" and
// hides itself; its modal run goes on while hidden. It ends itself when the
// session signals the friends list, or shows itself again after "FL"; the
// session keeps the values sent meanwhile. An automatic login waits in view
// with Login disabled; once it fails the dialog is an ordinary one. Run it
// with RunModal.
class CLoginDlg final : public CLoginDlgBase
{
    Q_OBJECT

public:
    explicit CLoginDlg(CPalaverDoc* pDoc, QWidget* parent = nullptr);
    ~CLoginDlg() override;

    // Off when the dialog must only fill its fields from the stored settings
    // and never log in by itself.
    void SetAutoLoginAllowed(bool allowed) { m_bAutoLoginAllowed = allowed; }

    // Hands the record to the session's connection without the pause that
    // other records keep after them. False when not connected. The
    // registration dialog sends through this too.
    virtual bool SendRecord(const CNetMessage& msg);
    // SendRecord once there is a connection: at once when there is one,
    // else after the connect under way or a new one, whatever closed the
    // last. `patient`: a server the session waits to reach is waited for
    // however long that takes. `done` hears whether the record went.
    void SendWhenConnected(std::shared_ptr<const CNetMessage> msg, bool patient,
                           std::function<void(bool sent)> done);

    // CLoginDlgBase
    std::string UserName() const override { return m_strUserName; }
    std::string Password() const override { return m_strPassword; }
    int Remember() const override { return m_bRemember; }
    int AutoLogin() const override { return m_bAutoLogin; }
    // The registration dialog it opened, while that is open.
    CModalDialog* RegistrationDialog() const;
    void ShowAgain() override;

    // Moves the controls into the members (true) or the members into the
    // controls (false).
    void UpdateData(bool saveAndValidate);

    void accept() override { OnOK(); }

protected:
    void OnInitDialog() override;

private:
    void OnOK();
    // Validates and sends "L" (once a connection is made); false when
    // nothing went out. The automatic login waits for the server.
    bool SendLogin(bool automatic);
    // After "L" was handed on: waits for the answer, hidden unless the
    // login is the automatic one; false, with the reason told, when it
    // could not go.
    bool AfterSend(bool sent, bool automatic);
    void OnChangeUserName();
    void OnRegister();

    QPushButton* m_btnLogin = nullptr;
    std::string m_strUserName;
    std::string m_strPassword;
    int m_bAutoLogin = 0;
    int m_bRemember = 0;
    CPalaverDoc* m_pDoc;
    QPointer<CRegistrationDlg> m_pRegistrationDlg;
    bool m_bAutoLoginAllowed = true;
    // The wait for a connection of the last SendWhenConnected.
    QMetaObject::Connection m_waitForConnection;

    QLineEdit* m_editUserName = nullptr;
    QLineEdit* m_editPassword = nullptr;
    QCheckBox* m_checkRemember = nullptr;
    QCheckBox* m_checkAutoLogin = nullptr;
};
