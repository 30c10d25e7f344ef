#include "modaldialog.h"

#include "messagebox.h"

#include <QBoxLayout>
#include <QEventLoop>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>

void AddLabelledRow(QGridLayout* grid, int row, const QString& text, QWidget* box)
{
    auto* label = new QLabel(text, box->parentWidget());
    label->setBuddy(box);
    grid->addWidget(label, row, 0);
    grid->addWidget(box, row, 1);
}

void SetFixedFrame(QDialog* dialog)
{
    dialog->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    dialog->setWindowFlag(Qt::MSWindowsFixedSizeDialogHint, true);
    auto* layout = qobject_cast<QBoxLayout*>(dialog->layout());
    if (!layout)
        return;
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // The window manager draws the caption in a bold face, beside the
    // window's icon and its buttons; a dialog narrower than that gets its
    // caption cut.
    QFont captionFont = dialog->font();
    captionFont.setBold(true);
    constexpr int kCaptionDecorations = 120;
    layout->addStrut(QFontMetrics(captionFont).horizontalAdvance(dialog->windowTitle()) +
                     kCaptionDecorations);
    layout->activate();
}

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
    if (!m_bFrameFixed) {
        m_bFrameFixed = true;
        SetFixedFrame(this);
    }
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
    OnEndRun();
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

void CModalDialog::EndWithMessage(const QString& text)
{
    EndDialog(0);
    ShowMessageBox(text);
}

void CModalDialog::ShowMessageThenEnd(const QString& text)
{
    const QPointer<CModalDialog> alive(this);
    show();
    ShowMessageBox(text);
    if (alive)
        EndDialog(0);
}

void CModalDialog::ShowIfWaiting()
{
    if (IsRunning() && !isVisible())
        show();
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
