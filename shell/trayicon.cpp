#include "trayicon.h"

#include "commandids.h"
#include "mainframe.h"
#include "messagebox.h"
#include "resources.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

CTrayIcon::CTrayIcon(CMainFrame& frame, QObject* parent)
    : INotifier(parent), m_pFrame(&frame), m_pMenu(new QMenu), m_baseIcon(ApplicationIcon())
{
    m_pShow = new QAction(QStringLiteral("&Show"), this);
    m_pMenu->addAction(m_pShow);
    connect(m_pShow, &QAction::triggered, this, &CTrayIcon::ShowMainWindow);
    m_pMenu->addAction(frame.Action(ID_FILE_DISCONNECT));
    m_pMenu->addSeparator();
    m_pMenu->addAction(frame.Action(ID_APP_EXIT));
    // The shared commands re-check their state as the main window's menus do.
    connect(m_pMenu, &QMenu::aboutToShow, &frame, &CMainFrame::UpdateCommands);

    m_pIcon = new QSystemTrayIcon(m_baseIcon, this);
    m_pIcon->setContextMenu(m_pMenu);
    m_pIcon->setToolTip(ToolTip(0));
    connect(m_pIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            ShowMainWindow();
    });
    connect(m_pIcon, &QSystemTrayIcon::messageClicked, this, [this] {
        if (m_lastKey != 0)
            emit Clicked(m_lastKey);
    });
    m_pIcon->show();
}

CTrayIcon::~CTrayIcon()
{
    // The menu holds the main window's actions, which it does not own.
    m_pIcon->setContextMenu(nullptr);
    delete m_pMenu.data();
}

void CTrayIcon::SetUnread(int count)
{
    m_nUnread = count;
    m_pIcon->setIcon(WithCount(m_baseIcon, count));
    m_pIcon->setToolTip(ToolTip(count, m_strStatus));
}

void CTrayIcon::SetStatus(const QString& status)
{
    m_strStatus = status;
    m_pIcon->setToolTip(ToolTip(m_nUnread, m_strStatus));
}

bool CTrayIcon::Show(quint64 key, const QString& title, const QString& body)
{
    if (!QSystemTrayIcon::supportsMessages() || !m_pIcon->isVisible())
        return false;
    // The balloon shows one notice at a time: a click is for the last one.
    m_lastKey = key;
    m_pIcon->showMessage(title, body, m_baseIcon);
    return true;
}

void CTrayIcon::ShowMainWindow()
{
    if (!m_pFrame)
        return;
    if (m_pFrame->isMinimized())
        m_pFrame->showNormal();
    m_pFrame->show();
    m_pFrame->raise();
    m_pFrame->activateWindow();
}

QIcon CTrayIcon::WithCount(const QIcon& base, int count)
{
    if (count <= 0)
        return base;
    const QString text = count > 99 ? QStringLiteral("99+") : QString::number(count);
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = base.pixmap(side, side);
        if (pixmap.isNull()) {
            pixmap = QPixmap(side, side);
            pixmap.fill(Qt::transparent);
        }
        pixmap.setDevicePixelRatio(1.0);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(std::max(7, side * 9 / 20));
        painter.setFont(font);
        const int height = side * 11 / 20;
        const int width = std::max(height, painter.fontMetrics().horizontalAdvance(text) + side / 6);
        const QRect disc(side - width, side - height, width, height);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xD0, 0x20, 0x20));
        painter.drawRoundedRect(disc, height / 2.0, height / 2.0);
        painter.setPen(Qt::white);
        painter.drawText(disc, Qt::AlignCenter, text);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString CTrayIcon::ToolTip(int count, const QString& status)
{
    QString tip = QString::fromLatin1(kApplicationTitle);
    if (count == 1)
        tip += QStringLiteral(" - 1 unread message");
    else if (count > 1)
        tip += QStringLiteral(" - %1 unread messages").arg(count);
    if (!status.isEmpty())
        tip += QLatin1Char('\n') + status;
    return tip;
}
