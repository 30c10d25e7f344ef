#pragma once

#include <QMainWindow>
#include <QPointer>

class CPalaverDoc;
class CSpeakWindow;

// The top-level window of one conversation: no owner, deleted when closed.
// Its view leaves the session's list of conversation windows as the frame
// goes, whichever way it is closed.
class CSpeakWindowFrame final : public QMainWindow
{
    Q_OBJECT

public:
    explicit CSpeakWindowFrame(CPalaverDoc* doc);
    ~CSpeakWindowFrame() override;

    CSpeakWindow* View() const { return m_pView; }

private:
    QPointer<CPalaverDoc> m_pDoc;
    CSpeakWindow* m_pView = nullptr;
};
