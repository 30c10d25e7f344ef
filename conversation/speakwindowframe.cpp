#include "speakwindowframe.h"

#include "palaverdoc.h"
#include "speakwindow.h"

CSpeakWindowFrame::CSpeakWindowFrame(CPalaverDoc* doc) : QMainWindow(nullptr), m_pDoc(doc)
{
    setAttribute(Qt::WA_DeleteOnClose);
    m_pView = new CSpeakWindow(this);
    m_pView->SetDocument(doc);
    setCentralWidget(m_pView);
    setMinimumSize(460, 260);
}

CSpeakWindowFrame::~CSpeakWindowFrame()
{
    // The view is still alive here (children go after this body), so the
    // session removes this window's own entry, not another with the same name.
    if (m_pDoc)
        m_pDoc->RemoveSpeakWindow(m_pView);
}
