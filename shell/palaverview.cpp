#include "palaverview.h"

#include "aboutdlg.h"
#include "attention.h"
#include "charformat.h"
#include "commandids.h"
#include "friendstree.h"
#include "messagebox.h"
#include "offlinemessageswnd.h"
#include "palaverdoc.h"
#include "speakwindow.h"
#include "speakwindowframe.h"

#include <QAction>
#include <QLabel>
#include <QTreeWidget>

#include <new>

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;

void FocusAndShow(QWidget* pane)
{
    QWidget* frame = pane->window();
    frame->show();
    frame->raise();
    frame->activateWindow();
    pane->setFocus();
}

} // namespace

CPalaverView::CPalaverView(CPalaverDoc& doc, QWidget* parent) : QWidget(parent), m_pDoc(&doc)
{
    m_pCaption = new QLabel(QStringLiteral("Friends List"), this);
    m_pCaption->move(8, 8);
    m_pCaption->adjustSize();
    m_tree = new CFriendsTree(this);

    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CPalaverView::OnSelectionChanged);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, &CPalaverView::OnDoubleClick);
    connect(m_tree, &CFriendsTree::FriendChosen, this,
            [this](const std::string& name) { OpenSpeakWindow(name); });
}

CPalaverView::~CPalaverView()
{
    if (m_pDoc && m_pDoc->View() == this)
        m_pDoc->SetView(nullptr);
}

QTreeWidget* CPalaverView::TreeControl() const
{
    return m_tree;
}

void CPalaverView::OnInitialUpdate()
{
    if (!m_pDoc)
        return;
    m_pDoc->SetView(this);
    // 0 means no colour is stored: the tree is white, in memory only.
    if (m_pDoc->Settings().m_nColor == 0)
        m_pDoc->Settings().m_nColor = kWhite;
    ApplyBackground();
    m_tree->Attach(*m_pDoc);
    CPalaverDoc* doc = m_pDoc;
    // Direct connections: a box or a modal dialog opened here runs inside
    // the session's handler, as the records that come meanwhile expect.
    connect(doc, &CPalaverDoc::FriendsListArrived, this, &CPalaverView::BringToForeground,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::ColorsChanged, this, &CPalaverView::OnColorsChanged, Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::ChangeUserWanted, this, &CPalaverView::OnChangeUserWanted,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::FriendRequestArrived, this, &CPalaverView::CreateAcceptFriendDialog,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::BlockedListArrived, this, &CPalaverView::RunBlockedUsersDialog,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::OfflineMessagesWanted, this, &CPalaverView::ShowOfflineMessagesWindow,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::OfflineMessagesCleared, this, &CPalaverView::CloseOfflineMessagesWindow,
            Qt::UniqueConnection);
    connect(doc, &CPalaverDoc::MessageArrived, this, &CPalaverView::OnMessageArrived, Qt::UniqueConnection);
    LayoutTree();
}

void CPalaverView::ApplyBackground()
{
    QPalette palette = m_tree->palette();
    palette.setColor(QPalette::Base, ColorFromRgb(m_pDoc->Settings().m_nColor));
    m_tree->setPalette(palette);
}

void CPalaverView::OnUpdate(int hint)
{
    if (hint != 0 && m_pDoc && m_pDoc->Settings().m_nColor != 0)
        ApplyBackground();
}

void CPalaverView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!m_bLayoutPending)
        LayoutTree();
}

void CPalaverView::LayoutTree()
{
    // 10 pixels from the left, right and bottom; 30 from the top leave room
    // for the caption.
    m_tree->setGeometry(rect().adjusted(10, 30, -10, -10));
    m_bLayoutPending = false;
}

void CPalaverView::BringToForeground()
{
    QWidget* frame = window();
    if (frame->isMinimized())
        frame->showNormal();
    frame->raise();
    frame->activateWindow();
}

void CPalaverView::OnSelectionChanged()
{
    const auto selected = m_tree->selectedItems();
    QTreeWidgetItem* item = selected.isEmpty() ? nullptr : selected.first();
    m_strSelectedFriend = CFriendsTree::IsFriend(item) ? item->text(0).toStdString() : std::string();
}

void CPalaverView::OnDoubleClick(QTreeWidgetItem*)
{
    // The first click selected the item. Groups keep the tree's own
    // double-click behaviour, expanding or collapsing.
    const auto selected = m_tree->selectedItems();
    if (selected.isEmpty() || !CFriendsTree::IsFriend(selected.first()))
        return;
    OpenSpeakWindow(selected.first()->text(0).toStdString());
}

void CPalaverView::OnMessageArrived(const CNetMessage& line)
{
    if (!m_pDoc)
        return;
    // Whether the user sees the line is decided before its window comes
    // forward: a window shown now is not one the user was reading.
    const CSpeakWindowBase* open = FindSpeakWindow(*m_pDoc, line.sender);
    const bool seen = open && open->window()->isActiveWindow();
    QPointer<CSpeakWindowBase> window = ShowConversationLine(*m_pDoc, *this, line);
    m_pCurrentSpeakWindow = window;
    if (!window || seen)
        return;
    RequestAttention(window->window());
    emit LineUnseen(window, line);
}

CSpeakWindowBase* CPalaverView::OpenSpeakWindow(const std::string& name, SpeakFocus focus)
{
    if (!m_pDoc)
        return nullptr;
    if (CSpeakWindowBase* open = FindSpeakWindow(*m_pDoc, name)) {
        m_pCurrentSpeakWindow = open;
        if (focus == SpeakFocus::Take)
            open->Activate();
        else
            open->ShowWithoutFocus();
        return open;
    }
    CSpeakWindowFrame* frame = nullptr;
    try {
        frame = new CSpeakWindowFrame(m_pDoc);
    } catch (const std::bad_alloc&) {
        frame = nullptr;
    }
    if (!frame || !frame->View()) {
        delete frame;
        ShowMessageBox(QStringLiteral("Could not create speak window due to internal error"));
        return nullptr;
    }
    frame->move(300, 100);
    frame->resize(460, 340);
    if (focus == SpeakFocus::Leave)
        frame->setAttribute(Qt::WA_ShowWithoutActivating);
    frame->show();
    frame->setWindowTitle(SpeakWindowTitle(name));
    CSpeakWindow* view = frame->View();
    m_pCurrentSpeakWindow = view;
    view->SetFrom(m_pDoc->UserName());
    view->SetTo(name);
    view->UpdateData(false);
    view->ShowHistory();
    m_pDoc->AddSpeakWindow(view);
    if (focus == SpeakFocus::Take)
        view->Activate();
    else
        view->ShowWithoutFocus();
    return view;
}

QWidget* CPalaverView::CreateOfflineMessagesWindow()
{
    if (!m_pDoc)
        return nullptr;
    COfflineMessagesFrameWnd* frame = nullptr;
    try {
        frame = new COfflineMessagesFrameWnd(m_pDoc);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    connect(frame, &COfflineMessagesFrameWnd::AboutRequested, frame, [frame] {
        CAboutDlg about(frame);
        about.exec();
    });
    // Closed, the window is the view's reference no more, even before it is gone.
    connect(frame, &COfflineMessagesFrameWnd::Closed, this, [this, frame] {
        if (m_pOfflineMessagesWnd && m_pOfflineMessagesWnd->window() == frame)
            m_pOfflineMessagesWnd = nullptr;
    });
    frame->move(400, 300);
    frame->resize(545, 400);
    frame->show();
    frame->setWindowTitle(QStringLiteral("Offline Messages -- ") +
                          QString::fromStdString(m_pDoc->UserName()));
    frame->activateWindow();
    frame->ListPane()->setFocus();
    return frame->ListPane();
}

void CPalaverView::ShowOfflineMessagesWindow()
{
    if (m_pOfflineMessagesWnd) {
        FocusAndShow(m_pOfflineMessagesWnd);
        return;
    }
    QWidget* window = CreateOfflineMessagesWindow();
    if (!window) {
        ShowMessageBox(QStringLiteral("Could not create offline messages dialog due to internal error"));
        return;
    }
    m_pOfflineMessagesWnd = window;
    FocusAndShow(window);
    if (auto* list = qobject_cast<CListPane*>(window))
        list->FillOfflineList();
}

void CPalaverView::CloseOfflineMessagesWindow()
{
    if (QPointer<QWidget> pane = m_pOfflineMessagesWnd) {
        m_pOfflineMessagesWnd = nullptr;
        pane->window()->close();
    }
}

bool CPalaverView::OnUpdateCommand(int id, QAction& action) const
{
    const bool loggedIn = m_pDoc && m_pDoc->IsLoggedIn();
    switch (id) {
    case ID_FILE_CHANGEUSER:
        action.setEnabled(true);
        action.setText(loggedIn ? QStringLiteral("&Change User") : QStringLiteral("&Login"));
        return true;
    case ID_FILE_PREFERENCES:
        action.setEnabled(true);
        return true;
    case ID_TOOLS_OFFLINEMESSAGES:
    case ID_FRIENDS_ADD:
    case ID_TOOLS_CHANGEPASSWORD:
    case ID_FILE_DISCONNECT:
    case ID_FRIENDS_DELETE:
    case ID_TOOLS_SENDMESSAGE:
    case ID_TOOLS_BLOCKEDUSERS:
        action.setEnabled(loggedIn);
        return true;
    default:
        return false;
    }
}

bool CPalaverView::OnCommand(int id)
{
    switch (id) {
    case ID_FILE_CHANGEUSER:
        OnChangeUser();
        return true;
    case ID_TOOLS_OFFLINEMESSAGES:
        OnOfflineMessages();
        return true;
    case ID_FRIENDS_ADD:
        OnAddFriend();
        return true;
    case ID_TOOLS_CHANGEPASSWORD:
        OnChangePassword();
        return true;
    case ID_FILE_DISCONNECT:
        OnDisconnect();
        return true;
    case ID_FRIENDS_DELETE:
        OnDeleteFriends();
        return true;
    case ID_FILE_PREFERENCES:
        OnPreferences();
        return true;
    case ID_TOOLS_SENDMESSAGE:
        OnSendMessage();
        return true;
    case ID_TOOLS_BLOCKEDUSERS:
        OnBlockedUsers();
        return true;
    default:
        return false;
    }
}
