#include "noticepreferences.h"

#include "palaverdoc.h"
#include "preferences.h"

#include <QCheckBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

CNoticePreferences::CNoticePreferences(CPreferences& sheet, QWidget* parent) : QWidget(parent), m_sheet(sheet)
{
    auto* layout = new QVBoxLayout(this);
    m_checkNotify = new QCheckBox(QStringLiteral("Show a notice for new messages"), this);
    layout->addWidget(m_checkNotify);
    layout->addStretch();
    connect(m_checkNotify, &QCheckBox::clicked, this, [this] {
        m_sheet.WorkingCopy().m_nNotify = m_checkNotify->isChecked() ? 1 : 0;
        m_bModified = true;
        m_sheet.SetModified();
    });
}

void CNoticePreferences::Fill(const CUserSettings& settings)
{
    const QSignalBlocker block(m_checkNotify);
    m_checkNotify->setChecked(settings.m_nNotify != 0);
}

void CNoticePreferences::OnApply()
{
    CPalaverDoc* doc = m_sheet.Document();
    if (!m_bModified || !doc)
        return;
    doc->Settings() = m_sheet.WorkingCopy();
    doc->SaveSettings(SettingsNotify);
}
