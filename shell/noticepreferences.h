#pragma once

#include "usersettings.h"

#include <QWidget>

class CPreferences;
class QCheckBox;

// "Notices": whether a new message that arrives unseen shows a notice on the
// desktop.
class CNoticePreferences final : public QWidget
{
    Q_OBJECT

public:
    explicit CNoticePreferences(CPreferences& sheet, QWidget* parent = nullptr);

    // The value into the control, without marking the page changed.
    void Fill(const CUserSettings& settings);
    bool IsModified() const { return m_bModified; }
    void OnApply();

    QCheckBox* NotifyBox() const { return m_checkNotify; }

private:
    CPreferences& m_sheet;
    QCheckBox* m_checkNotify = nullptr;
    bool m_bModified = false;
};
