#pragma once

#include <QWidget>

#include <string>

class CPreferences;
class QCheckBox;
class QPushButton;

// "History": whether conversations are kept, and emptying what was kept.
// The switch takes effect when the sheet applies; Clear history acts at
// once, after the user confirms it.
class CHistoryPreferences final : public QWidget
{
    Q_OBJECT

public:
    explicit CHistoryPreferences(CPreferences& sheet, QWidget* parent = nullptr);

    // The stored switch into the check box, without marking the page changed.
    void Fill();
    bool IsModified() const { return m_bModified; }
    void OnApply();
    void OnClearHistory();

    QCheckBox* KeepBox() const { return m_checkKeep; }
    QPushButton* ClearButton() const { return m_btnClear; }

private:
    // Whose history the page clears: the logged-in user's, or before any
    // login the remembered one's; empty when there is neither.
    std::string Owner() const;

    CPreferences& m_sheet;
    QCheckBox* m_checkKeep = nullptr;
    QPushButton* m_btnClear = nullptr;
    bool m_bModified = false;
};
