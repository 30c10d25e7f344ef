#pragma once

#include "modaldialog.h"

#include <string>

class CPalaverDoc;
class QListWidget;
class QPushButton;

// The blocked users, sorted; users blocked until log-off carry a trailing
// "*". "&Unblock Selected" sends "BUR" and hides the dialog; its run goes on
// until the session confirms and ends it.
class CBlockedUsersDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CBlockedUsersDlg(CPalaverDoc* pDoc, QWidget* parent = nullptr);
    ~CBlockedUsersDlg() override;

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    void OnInitDialog() override;

private:
    void OnOK();
    void OnCancel();
    // Inserts `name` at its alphabetical place, case ignored.
    void AddSorted(const std::string& name);
    std::string NameAt(int row) const;

    QPushButton* m_btnUnblock = nullptr;
    QListWidget* m_listBlocked = nullptr;
    CPalaverDoc* m_pDoc;
};
