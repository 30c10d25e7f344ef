#include "speakwindowframe.h"

#include "palaverdoc.h"
#include "resources.h"
#include "speakcommands.h"
#include "speakwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QPainter>
#include <QStyle>
#include <QToolBar>

namespace {

// A 16 x 15 toolbar picture drawn here: a colour swatch or a letter.
QIcon DrawnIcon(const QColor& fill, const QString& letter)
{
    QPixmap pixmap(16, 15);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (letter.isEmpty()) {
        painter.setPen(Qt::black);
        painter.setBrush(fill);
        painter.drawRect(1, 1, 13, 12);
    } else {
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(13);
        painter.setFont(font);
        painter.setPen(fill);
        painter.drawText(pixmap.rect(), Qt::AlignCenter, letter);
    }
    return QIcon(pixmap);
}

} // namespace

CSpeakWindowFrame::CSpeakWindowFrame(CPalaverDoc* doc) : QMainWindow(nullptr), m_pDoc(doc)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(ApplicationIcon());
    CreateToolBar();
    m_pView = new CSpeakWindow(doc, this);
    m_pView->SetFrame(this);
    setCentralWidget(m_pView);
    CreateMenu();
}

CPalaverDoc* CSpeakWindowFrame::Document() const
{
    return m_pDoc;
}

CSpeakWindowFrame::~CSpeakWindowFrame()
{
    // Deleted without closing (by its owner's code or at the end): the view
    // is still alive here, so its own entry goes, not another's.
    RemoveFromDocument();
}

void CSpeakWindowFrame::CreateMenu()
{
    QMenu* popup = nullptr;
    for (const CSpeakMenuEntry& entry : kSpeakMenu) {
        if (entry.popup) {
            popup = menuBar()->addMenu(QString::fromLatin1(entry.popup));
            continue;
        }
        if (entry.id == 0) {
            popup->addSeparator();
            continue;
        }
        QAction* action = nullptr;
        // The toolbar's buttons and the menu items share one action each.
        for (QAction* shared : m_wndToolBar->actions())
            if (shared->data().toInt() == entry.id)
                action = shared;
        if (!action) {
            action = new QAction(this);
            action->setData(entry.id);
            connect(action, &QAction::triggered, this, [this, id = entry.id] { OnCommand(id); });
        }
        action->setText(QString::fromLatin1(entry.text));
        popup->addAction(action);
        // Nothing handles Print.
        if (entry.id == ID_SPEAK_PRINT)
            action->setEnabled(false);
        // New and Save have window-wide keys; the edit keys stay with the
        // boxes, which handle them themselves.
        if (entry.id == ID_SPEAK_NEW)
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
        if (entry.id == ID_SPEAK_SAVE)
            action->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    }
}

void CSpeakWindowFrame::CreateToolBar()
{
    m_wndToolBar = new QToolBar(QStringLiteral("Conversation"), this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar146"));
    m_wndToolBar->setIconSize(QSize(16, 15));
    m_wndToolBar->setMovable(true);
    m_wndToolBar->setFloatable(true);
    // It starts along the top edge; dragged, it floats or docks on the right.
    m_wndToolBar->setAllowedAreas(Qt::TopToolBarArea | Qt::RightToolBarArea);
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    struct Button
    {
        int id;
        QIcon icon;
        const char* tip;
    };
    const Button buttons[] = {
        {ID_SPEAK_SEND, ToolbarIcon(QStringLiteral("send")), "Send"},
        {ID_SPEAK_SAVE, style()->standardIcon(QStyle::SP_DialogSaveButton), "Save"},
        {0, {}, nullptr},
        {ID_SPEAK_COLOR, DrawnIcon(QColor(255, 255, 192), {}), "Background Color"},
        {ID_SPEAK_FONT, DrawnIcon(Qt::darkBlue, QStringLiteral("A")), "Font"},
        {0, {}, nullptr},
        {ID_SPEAK_BLOCK, style()->standardIcon(QStyle::SP_BrowserStop), "Block this User"},
    };
    for (const Button& button : buttons) {
        if (button.id == 0) {
            m_wndToolBar->addSeparator();
            continue;
        }
        QAction* action = m_wndToolBar->addAction(button.icon, QString::fromLatin1(button.tip));
        action->setData(button.id);
        action->setToolTip(QString::fromLatin1(button.tip));
        connect(action, &QAction::triggered, this, [this, id = button.id] { OnCommand(id); });
    }
}

QAction* CSpeakWindowFrame::CommandAction(int id) const
{
    for (QAction* action : findChildren<QAction*>())
        if (action->data().toInt() == id)
            return action;
    return nullptr;
}

void CSpeakWindowFrame::OnCommand(int id)
{
    if (id == ID_SPEAK_ABOUT) {
        OnAppAbout();
        return;
    }
    if (id == ID_SPEAK_CLOSE) {
        DestroyWindow();
        return;
    }
    m_pView->OnCommand(id);
}

void CSpeakWindowFrame::OnAppAbout()
{
    // The main window carries the About command with the same id.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window == this || qobject_cast<CSpeakWindowFrame*>(window))
            continue;
        for (QAction* action : window->findChildren<QAction*>())
            if (action->data().toInt() == ID_SPEAK_ABOUT && action->isEnabled()) {
                action->trigger();
                return;
            }
    }
}

void CSpeakWindowFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The first showing is the frame's initial update.
    m_pView->OnInitialUpdate();
}

void CSpeakWindowFrame::RemoveFromDocument()
{
    if (m_bRemoved)
        return;
    m_bRemoved = true;
    // By window, not by name: another window may hold the same To name.
    if (m_pDoc)
        m_pDoc->RemoveSpeakWindow(m_pView);
}

void CSpeakWindowFrame::DestroyWindow()
{
    RemoveFromDocument();
    // Closing deletes the frame (WA_DeleteOnClose) and the view with it.
    close();
}

void CSpeakWindowFrame::closeEvent(QCloseEvent* event)
{
    // The close box ends in the same place as the Close command.
    RemoveFromDocument();
    QMainWindow::closeEvent(event);
    event->accept();
}
