#pragma once

#include "modaldialog.h"
#include "netmessage.h"

#include <QPointer>

#include <string>

class CLoginDlg;
class QLineEdit;

// Registration of a new account, opened from the login dialog. It sends "R"
// through the login dialog and stays open; it ends itself when the session
// signals the server's confirmation, and a refusal leaves it open for
// another try.
class CRegistrationDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CRegistrationDlg(CLoginDlg* pLoginDlg, QWidget* parent = nullptr);
    ~CRegistrationDlg() override;

    void UpdateData(bool saveAndValidate);

    // The outgoing record, kept for the dialog's life: every Register press
    // sends it again with the fields overwritten, its time still the
    // dialog's creation time.
    const CNetMessage& Record() const { return m_record; }

    void accept() override { OnOK(); }

private:
    void OnOK();

    std::string m_strPassword;
    std::string m_strRetype;
    std::string m_strUserName;
    CNetMessage m_record;
    QPointer<CLoginDlg> m_pLoginDlg;

    QLineEdit* m_editUserName = nullptr;
    QLineEdit* m_editPassword = nullptr;
    QLineEdit* m_editRetype = nullptr;
};
