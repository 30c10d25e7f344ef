#include "mainframe.h"

#include "messagebox.h"
#include "palaverdoc.h"

#include <QLabel>
#include <QStatusBar>

CMainFrame::CMainFrame(CPalaverDoc& doc, QWidget* parent) : QMainWindow(parent), m_doc(doc)
{
    resize(300, 600);
    m_pConnectionLabel = new QLabel(this);
    statusBar()->addWidget(m_pConnectionLabel);

    connect(&m_doc, &CPalaverDoc::TitleChanged, this, &CMainFrame::OnTitleChanged);
    connect(&m_doc, &CPalaverDoc::ConnectionChanged, this, &CMainFrame::OnConnectionChanged);
    OnTitleChanged(m_doc.Title());
    OnConnectionChanged(g_bConnected != 0);
}

void CMainFrame::OnTitleChanged(const QString& title)
{
    setWindowTitle(QString::fromLatin1(kApplicationTitle) + QStringLiteral(" - ") + title);
}

void CMainFrame::OnConnectionChanged(bool connected)
{
    m_pConnectionLabel->setText(connected ? QStringLiteral("Connected") : QStringLiteral("Not connected"));
}
