#include "modaldialog.h"

#include <QEventLoop>
#include <QPointer>

CModalDialog::CModalDialog(QWidget* parent) : QDialog(parent) {}

CModalDialog::~CModalDialog()
{
    if (m_pLoop)
        m_pLoop->quit();
}

int CModalDialog::RunModal()
{
    m_bEnded = false;
    m_nResult = 0;
    setWindowModality(Qt::ApplicationModal);
    QPointer<CModalDialog> alive(this);
    OnInitDialog();
    if (!alive)
        return 0;
    // The initialisation may already have ended it (its own boxes dispatch
    // records); only show it and wait when there is something to wait for.
    if (!m_bEnded)
        show();
    if (!m_bEnded) {
        QEventLoop loop;
        m_pLoop = &loop;
        loop.exec(QEventLoop::DialogExec);
        if (!alive)
            return 0; // destroyed while running; nothing left to report
        m_pLoop = nullptr;
    }
    hide();
    return m_nResult;
}

void CModalDialog::EndDialog(int result)
{
    m_nResult = result;
    m_bEnded = true;
    setResult(result);
    hide();
    if (m_pLoop)
        m_pLoop->quit();
}

void CModalDialog::done(int result)
{
    EndDialog(result);
}

void CModalDialog::accept()
{
    EndDialog(IDOK);
}

void CModalDialog::reject()
{
    EndDialog(IDCANCEL);
}
