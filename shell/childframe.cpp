#include "childframe.h"

#include "palaverview.h"

#include <QVBoxLayout>

CChildFrame::CChildFrame(CPalaverDoc& doc, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pView = new CPalaverView(doc, this);
    layout->addWidget(m_pView);
}
