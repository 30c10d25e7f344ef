#pragma once

#include "modaldialog.h"

#include <QPointer>

#include <string>

class CPalaverDoc;
class QLineEdit;

// Change of the logged-in user's password. It sends "C" and stays open; the
// session takes the retyped password as the new one when the server
// confirms, and the dialog then ends itself. Cancel tells the session it
// waits no longer before ending.
class CChangePasswordDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CChangePasswordDlg(CPalaverDoc* pDoc, QWidget* parent = nullptr);
    ~CChangePasswordDlg() override;

    void UpdateData(bool saveAndValidate);

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    void OnEndRun() override;

private:
    void OnOK();
    void OnCancel();

    std::string m_strOldPassword;
    std::string m_strNewPassword;
    std::string m_strRetype;
    QPointer<CPalaverDoc> m_pDoc;

    QLineEdit* m_editOldPassword = nullptr;
    QLineEdit* m_editNewPassword = nullptr;
    QLineEdit* m_editRetype = nullptr;
};
