#include "historypreferences.h"

#include "messagebox.h"
#include "palaverdoc.h"
#include "preferences.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

CHistoryPreferences::CHistoryPreferences(CPreferences& sheet, QWidget* parent)
    : QWidget(parent), m_sheet(sheet)
{
    auto* layout = new QVBoxLayout(this);
    m_checkKeep = new QCheckBox(QStringLiteral("Keep conversation history"), this);
    m_checkKeep->setObjectName(QStringLiteral("keepHistory"));
    m_btnClear = new QPushButton(QStringLiteral("Clear history"), this);
    m_btnClear->setObjectName(QStringLiteral("clearHistory"));
    m_btnClear->setAutoDefault(false);
    layout->addWidget(m_checkKeep);
    layout->addWidget(m_btnClear, 0, Qt::AlignLeft);
    layout->addStretch();
    connect(m_checkKeep, &QCheckBox::clicked, this, [this] {
        m_bModified = true;
        m_sheet.SetModified();
    });
    connect(m_btnClear, &QPushButton::clicked, this, &CHistoryPreferences::OnClearHistory);
    Fill();
}

void CHistoryPreferences::Fill()
{
    const QSignalBlocker block(m_checkKeep);
    CPalaverDoc* doc = m_sheet.Document();
    m_checkKeep->setChecked(!doc || doc->History().IsKeeping());
    m_btnClear->setEnabled(!Owner().empty());
}

std::string CHistoryPreferences::Owner() const
{
    CPalaverDoc* doc = m_sheet.Document();
    if (!doc)
        return {};
    return doc->UserName().empty() ? doc->Settings().m_strUserName : doc->UserName();
}

void CHistoryPreferences::OnApply()
{
    CPalaverDoc* doc = m_sheet.Document();
    if (m_bModified && doc)
        doc->History().SetKeeping(m_checkKeep->isChecked());
}

void CHistoryPreferences::OnClearHistory()
{
    const std::string owner = Owner();
    if (owner.empty())
        return;
    const QString question = QStringLiteral("Delete the conversation history of ") +
                             QString::fromStdString(owner) + QStringLiteral("? This cannot be undone.");
    // Records keep arriving while the box is open; the sheet may go meanwhile.
    const QPointer<CHistoryPreferences> alive(this);
    const MessageAnswer answer =
        ShowMessageBox(question, MessageButtons::YesNoDefaultNo, MessageIcon::Question, this);
    if (!alive || answer != MessageAnswer::Yes)
        return;
    CPalaverDoc* doc = m_sheet.Document();
    if (doc && !doc->History().Clear(owner))
        ShowMessageBox(QStringLiteral("Conversation history could not be cleared"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
}
