#pragma once

#include <QPointer>
#include <QWidget>

class CPalaverDoc;
class CPalaverView;

// The container of the friends list view inside the main window. It fills
// the main window and has no caption or buttons: it cannot be closed,
// minimised or restored on its own.
class CChildFrame final : public QWidget
{
    Q_OBJECT

public:
    explicit CChildFrame(CPalaverDoc& doc, QWidget* parent = nullptr);

    CPalaverView* View() const { return m_pView; }

private:
    QPointer<CPalaverView> m_pView;
};
