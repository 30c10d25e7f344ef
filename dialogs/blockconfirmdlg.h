#pragma once

#include "modaldialog.h"

// Asks how to block a user: permanently (IDYES), until log-off (IDNO) or not
// at all (IDCANCEL). The caller sends the block request.
class CBlockConfirmDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CBlockConfirmDlg(QWidget* parent = nullptr);
    ~CBlockConfirmDlg() override;

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

private:
    void OnOK();
    void OnBlockWhileLoggedIn();
    void OnCancel();
};
