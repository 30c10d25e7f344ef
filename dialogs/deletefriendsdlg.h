#pragma once

#include "modaldialog.h"

class CPalaverDoc;
class QListWidget;
class QPushButton;

// Picks friends to delete: every friend of the friends tree starts in the
// left list, ">>" and "<<" move the selected entries across, and "&Delete"
// asks once more and sends "DF" naming the right list's entries in order.
class CDeleteFriendsDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CDeleteFriendsDlg(CPalaverDoc* pDoc, QWidget* parent = nullptr);
    ~CDeleteFriendsDlg() override;

    // Appends the session's friends to the left list, in the friends list's
    // order; empty names are left out.
    void FillExistingFriends();
    // Appends the selected entries of `source` to `destination` in ascending
    // order and removes them from `source`; returns how many there were.
    int MoveSelected(QListWidget* source, QListWidget* destination);

    void accept() override { OnOK(); }

protected:
    void OnInitDialog() override;

private:
    void OnOK();
    void OnMoveRight();
    void OnMoveLeft();

    QListWidget* m_listToDelete = nullptr;
    QListWidget* m_listExisting = nullptr;
    CPalaverDoc* m_pDoc;

    QPushButton* m_btnDelete = nullptr;
};
