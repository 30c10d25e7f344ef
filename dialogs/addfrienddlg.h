#pragma once

#include "modaldialog.h"

#include <string>

class CPalaverDoc;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// Asks the server to add a user to the friends list, with a message for
// that user ("AF"). Closes as soon as the request has gone out.
class CAddFriendDlg final : public CModalDialog
{
    Q_OBJECT

public:
    explicit CAddFriendDlg(CPalaverDoc* pDoc, QWidget* parent);
    ~CAddFriendDlg() override;

    // The message holds its line breaks as CR LF, as it is sent.
    void UpdateData(bool saveAndValidate);

    void accept() override { OnOK(); }

protected:
    void OnInitDialog() override;
    // The message box wants no Enter of its own: Enter presses the default
    // button and Ctrl+Enter starts a new line.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnOK();

    std::string m_strMessage;
    std::string m_strFriendId;
    CPalaverDoc* m_pDoc;

    QLineEdit* m_editFriendId = nullptr;
    QPlainTextEdit* m_editMessage = nullptr;
    QPushButton* m_btnAdd = nullptr;
};
