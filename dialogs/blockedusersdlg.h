#pragma once

#include "modaldialog.h"

#include <QPointer>

#include <string>

class CPalaverDoc;
class QListWidget;
class QPushButton;

// The blocked users, sorted; users blocked until log-off carry a trailing
// "*". "&Unblock Selected" sends "BUR" and hides the dialog; its run goes on
// until the session signals the confirmation, and the dialog ends itself.
// While it runs the session knows it open (a second "B" opens no second one).
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
    void OnEndRun() override;

private:
    void OnOK();
    void OnCancel();
    // Inserts `name` at its alphabetical place, case ignored.
    void AddSorted(const std::string& name);
    std::string NameAt(int row) const;

    QPushButton* m_btnUnblock = nullptr;
    QListWidget* m_listBlocked = nullptr;
    QPointer<CPalaverDoc> m_pDoc;
};
