#include "blockedusersdlg.h"

#include "commands.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <string>

CBlockedUsersDlg::CBlockedUsersDlg(CPalaverDoc* pDoc, QWidget* parent) : CModalDialog(parent), m_pDoc(pDoc)
{
    setWindowTitle(QStringLiteral("Edit Blocked Users List"));

    auto* intro =
        new QLabel(QStringLiteral("Choose which users you want to remove from Blocked Users list. After "
                                  "you remove them, they will be able to send you messages."),
                   this);
    intro->setWordWrap(true);
    auto* note =
        new QLabel(QStringLiteral("The users you have blocked only for this session, and not "
                                  "permanently, will appear with an asterix (*) char appended to their "
                                  "user name"),
                   this);
    note->setWordWrap(true);

    // Kept in order by AddSorted: the widget's own sorting compares as the
    // locale does, and the list is alphabetical whatever the locale.
    m_listBlocked = new QListWidget(this);
    m_listBlocked->setObjectName(QStringLiteral("blocked"));
    m_listBlocked->setSelectionMode(QAbstractItemView::MultiSelection);
    m_listBlocked->setSortingEnabled(false);
    m_listBlocked->setAccessibleName(QStringLiteral("Blocked Users"));

    m_btnUnblock = new QPushButton(QStringLiteral("&Unblock Selected"), this);
    m_btnUnblock->setObjectName(QStringLiteral("unblock"));
    m_btnUnblock->setDefault(true);
    m_btnUnblock->setEnabled(false);
    auto* btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("cancel"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_btnUnblock);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addWidget(note);
    layout->addWidget(m_listBlocked);
    layout->addLayout(buttons);

    connect(m_btnUnblock, &QPushButton::clicked, this, &CBlockedUsersDlg::OnOK);
    connect(btnCancel, &QPushButton::clicked, this, &CBlockedUsersDlg::OnCancel);
    // "SB" brings the hidden dialog back for its box, then ends it; a lost
    // connection shows it again for the user to leave.
    connect(pDoc, &CPalaverDoc::UsersUnblocked, this, &CModalDialog::ShowMessageThenEnd);
    connect(pDoc, &CPalaverDoc::AnswersLost, this, &CModalDialog::ShowIfWaiting);
}

CBlockedUsersDlg::~CBlockedUsersDlg()
{
    if (IsRunning())
        OnEndRun();
}

void CBlockedUsersDlg::OnInitDialog()
{
    m_pDoc->SetBlockedUsersOpen(true);
    const auto& blocked = m_pDoc->BlockedUsers();
    if (blocked.empty())
        return;
    for (const auto& entry : blocked)
        AddSorted(entry->sender);
    m_btnUnblock->setEnabled(true);
}

// Each item keeps the stored bytes of its name beside the text it shows, so
// that the request names the users exactly as they were stored.
std::string CBlockedUsersDlg::NameAt(int row) const
{
    return m_listBlocked->item(row)->data(Qt::UserRole).toByteArray().toStdString();
}

namespace {

// Alphabetical regardless of case ("amy", "Bob", "zed"); names that differ
// only in case fall back to byte order, so the order never depends on the
// order in which the session stored them.
bool AlphabeticallyBefore(const std::string& a, const std::string& b)
{
    const auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : int(c); };
    const auto less = [&](char x, char y) { return lower(x) < lower(y); };
    if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), less))
        return true;
    if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), less))
        return false;
    return a < b;
}

} // namespace

void CBlockedUsersDlg::AddSorted(const std::string& name)
{
    int row = m_listBlocked->count();
    while (row > 0 && AlphabeticallyBefore(name, NameAt(row - 1)))
        --row;
    auto* item = new QListWidgetItem(QString::fromStdString(name));
    item->setData(Qt::UserRole, QByteArray::fromStdString(name));
    m_listBlocked->insertItem(row, item);
}

void CBlockedUsersDlg::OnOK()
{
    if (!m_btnUnblock->isEnabled())
        return;

    CNetMessage msg;
    for (int row = 0; row < m_listBlocked->count(); ++row) {
        if (m_listBlocked->item(row)->isSelected())
            msg.names.push_back(NameAt(row));
    }
    if (msg.names.empty()) {
        ShowMessageBox(QStringLiteral("Please select at least 1 user"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }

    msg.sender = m_pDoc->UserName();
    msg.command = Cmd::Unblock;
    // Hidden, the dialog waits for the session's confirmation; a request
    // that never left would leave it waiting for good behind its own modal
    // run, so it stays in view and says why.
    if (!m_pDoc->Send(msg)) {
        ShowMessageBox(QStringLiteral("Not connected to Server"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    hide();
}

void CBlockedUsersDlg::OnCancel()
{
    EndDialog(IDCANCEL);
    if (m_pDoc)
        m_pDoc->SetBlockedUsersOpen(false);
}

void CBlockedUsersDlg::OnEndRun()
{
    if (m_pDoc)
        m_pDoc->SetBlockedUsersOpen(false);
}
