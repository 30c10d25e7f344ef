#include "deletefriendsdlg.h"

#include "commands.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

namespace {

QListWidget* NewFriendList(QWidget* parent, const char* name)
{
    auto* list = new QListWidget(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSortingEnabled(false);
    return list;
}

} // namespace

CDeleteFriendsDlg::CDeleteFriendsDlg(CPalaverDoc* pDoc, QWidget* parent) : CModalDialog(parent), m_pDoc(pDoc)
{
    setWindowTitle(QStringLiteral("Delete Friends"));

    auto* intro = new QLabel(
        QStringLiteral(
            "Choose which friend(s) you want to delete from the left box, and transfer them to right "
            "using the buttons provided. When you are done, click Ok to proceed with the delete"),
        this);
    intro->setWordWrap(true);

    m_listExisting = NewFriendList(this, "existing");
    m_listToDelete = NewFriendList(this, "toDelete");
    auto* labelExisting = new QLabel(QStringLiteral("Existing &Friends"), this);
    labelExisting->setBuddy(m_listExisting);
    // Alt+D is the Delete button's.
    auto* labelToDelete = new QLabel(QStringLiteral("Friends to be D&eleted"), this);
    labelToDelete->setBuddy(m_listToDelete);
    // A list is named by its label only when told.
    m_listExisting->setAccessibleName(QStringLiteral("Existing Friends"));
    m_listToDelete->setAccessibleName(QStringLiteral("Friends to be Deleted"));

    auto* btnRight = new QPushButton(QStringLiteral(">>"), this);
    btnRight->setObjectName(QStringLiteral("moveRight"));
    auto* btnLeft = new QPushButton(QStringLiteral("<<"), this);
    btnLeft->setObjectName(QStringLiteral("moveLeft"));
    m_btnDelete = new QPushButton(QStringLiteral("&Delete"), this);
    m_btnDelete->setObjectName(QStringLiteral("delete"));
    m_btnDelete->setDefault(true);
    m_btnDelete->setEnabled(false);
    auto* btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("cancel"));

    auto* moves = new QVBoxLayout;
    moves->addStretch();
    moves->addWidget(btnRight);
    moves->addWidget(btnLeft);
    moves->addStretch();
    auto* grid = new QGridLayout;
    grid->addWidget(labelExisting, 0, 0);
    grid->addWidget(labelToDelete, 0, 2);
    grid->addWidget(m_listExisting, 1, 0);
    grid->addLayout(moves, 1, 1);
    grid->addWidget(m_listToDelete, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_btnDelete);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    connect(btnRight, &QPushButton::clicked, this, &CDeleteFriendsDlg::OnMoveRight);
    connect(btnLeft, &QPushButton::clicked, this, &CDeleteFriendsDlg::OnMoveLeft);
    connect(m_btnDelete, &QPushButton::clicked, this, &CDeleteFriendsDlg::OnOK);
    connect(btnCancel, &QPushButton::clicked, this, &CDeleteFriendsDlg::reject);
}

CDeleteFriendsDlg::~CDeleteFriendsDlg() = default;

void CDeleteFriendsDlg::OnInitDialog()
{
    FillExistingFriends();
}

void CDeleteFriendsDlg::FillExistingFriends()
{
    // In the friends list's order, online friends above offline ones,
    // whether their group is expanded or not.
    for (const bool online : {true, false}) {
        for (const CFriend& entry : m_pDoc->Friends()) {
            if (entry.online == online && !entry.name.empty())
                m_listExisting->addItem(QString::fromStdString(entry.name));
        }
    }
}

int CDeleteFriendsDlg::MoveSelected(QListWidget* source, QListWidget* destination)
{
    std::vector<int> rows;
    for (int row = 0; row < source->count(); ++row) {
        if (source->item(row)->isSelected())
            rows.push_back(row);
    }
    if (rows.empty())
        return 0;
    for (const int row : rows)
        destination->addItem(source->item(row)->text());
    // Highest first, so the rows still to go keep their numbers.
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        delete source->takeItem(*it);
    return static_cast<int>(rows.size());
}

void CDeleteFriendsDlg::OnMoveRight()
{
    if (MoveSelected(m_listExisting, m_listToDelete) == 0) {
        ShowMessageBox(QStringLiteral("Please select at least 1 member from left"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    m_btnDelete->setEnabled(true);
}

void CDeleteFriendsDlg::OnMoveLeft()
{
    if (MoveSelected(m_listToDelete, m_listExisting) == 0) {
        ShowMessageBox(QStringLiteral("Please select at least 1 member from right"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    if (m_listToDelete->count() == 0)
        m_btnDelete->setEnabled(false);
}

void CDeleteFriendsDlg::OnOK()
{
    // Enter reaches here only through the default button, which is disabled
    // while nothing is chosen; accept() called directly is held to the same.
    if (!m_btnDelete->isEnabled())
        return;
    const MessageAnswer answer = ShowMessageBox(
        QStringLiteral("You are about to delete some friends from your friends list. This operation is not "
                       "reversible. Are you sure you want to do this?"),
        MessageButtons::YesNo, MessageIcon::Exclamation, this);
    if (answer != MessageAnswer::Yes) {
        EndDialog(IDOK);
        return;
    }

    CNetMessage msg;
    msg.sender = m_pDoc->UserName();
    msg.command = Cmd::DeleteFriends;
    for (int row = 0; row < m_listToDelete->count(); ++row)
        msg.names.push_back(m_listToDelete->item(row)->text().toStdString());
    m_pDoc->Send(msg);
    EndDialog(IDOK);
}
