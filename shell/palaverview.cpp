#include "palaverview.h"

#include "aboutdlg.h"
#include "charformat.h"
#include "commandids.h"
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

QTreeWidgetItem* MakeFixedItem(const QString& text, FriendItemKind kind)
{
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setData(0, kFriendKindRole, kind);
    QFont font = item->font(0);
    font.setBold(true);
    item->setFont(0, font);
    return item;
}

bool IsFriend(const QTreeWidgetItem* item)
{
    if (!item)
        return false;
    const int kind = item->data(0, kFriendKindRole).toInt();
    return kind == KindOnlineFriend || kind == KindOfflineFriend;
}

} // namespace

CPalaverView::CPalaverView(CPalaverDoc& doc, QWidget* parent) : QWidget(parent), m_pDoc(&doc)
{
    m_pCaption = new QLabel(QStringLiteral("Friends List"), this);
    m_pCaption->move(8, 8);
    m_pCaption->adjustSize();
    m_tree = new QTreeWidget(this);
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(true);
    m_tree->setColumnCount(1);

    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CPalaverView::OnSelectionChanged);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, &CPalaverView::OnDoubleClick);
}

CPalaverView::~CPalaverView()
{
    if (m_pDoc && m_pDoc->View() == this)
        m_pDoc->SetView(nullptr);
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
    RebuildFixedItems();
    LayoutTree();
}

void CPalaverView::RebuildFixedItems()
{
    m_tree->clear();
    QTreeWidgetItem* root = MakeFixedItem(QStringLiteral("Friends List"), KindRoot);
    m_tree->addTopLevelItem(root);
    QTreeWidgetItem* online = MakeFixedItem(QStringLiteral("Online Friends"), KindOnlineGroup);
    QTreeWidgetItem* offline = MakeFixedItem(QStringLiteral("Offline Friends"), KindOfflineGroup);
    root->addChild(online);
    root->addChild(offline);
    root->setExpanded(true);
    online->setExpanded(true);
    offline->setExpanded(true);
    if (m_pDoc)
        m_pDoc->SetFixedItems(root, online, offline);
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
    m_strSelectedFriend = IsFriend(item) ? item->text(0).toStdString() : std::string();
}

void CPalaverView::OnDoubleClick(QTreeWidgetItem*)
{
    // The first click selected the item. Groups keep the tree's own
    // double-click behaviour, expanding or collapsing.
    const auto selected = m_tree->selectedItems();
    if (selected.isEmpty() || !IsFriend(selected.first()))
        return;
    OpenSpeakWindow(selected.first()->text(0).toStdString());
}

void CPalaverView::OpenSpeakWindow(const std::string& name, SpeakFocus focus)
{
    if (!m_pDoc)
        return;
    if (CSpeakWindowBase* open = m_pDoc->FindSpeakWindow(name)) {
        m_pDoc->SetCurrentSpeakWindow(open);
        if (focus == SpeakFocus::Take)
            open->Activate();
        else
            open->ShowWithoutFocus();
        return;
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
        return;
    }
    frame->move(300, 100);
    frame->resize(460, 340);
    if (focus == SpeakFocus::Leave)
        frame->setAttribute(Qt::WA_ShowWithoutActivating);
    frame->show();
    frame->setWindowTitle(QString::fromStdString(name) + QStringLiteral(" -- Instant Message"));
    CSpeakWindow* view = frame->View();
    m_pDoc->SetCurrentSpeakWindow(view);
    view->SetFrom(m_pDoc->UserName());
    view->SetTo(name);
    view->UpdateData(false);
    m_pDoc->AddSpeakWindow(view);
    if (focus == SpeakFocus::Take)
        view->Activate();
    else
        view->ShowWithoutFocus();
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
    frame->move(400, 300);
    frame->resize(545, 400);
    frame->show();
    frame->setWindowTitle(QStringLiteral("Offline Messages -- ") +
                          QString::fromStdString(m_pDoc->UserName()));
    frame->activateWindow();
    frame->ListPane()->setFocus();
    return frame->ListPane();
}

void CPalaverView::FillOfflineMessagesWindow(QWidget* window)
{
    if (auto* list = qobject_cast<CListPane*>(window))
        list->FillOfflineList();
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
