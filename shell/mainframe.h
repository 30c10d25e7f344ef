#pragma once

#include <QMainWindow>
#include <QPointer>

class CPalaverDoc;
class QLabel;

// The main window: titled after the session, with the connection state in
// its status bar.
class CMainFrame final : public QMainWindow
{
    Q_OBJECT

public:
    explicit CMainFrame(CPalaverDoc& doc, QWidget* parent = nullptr);

private:
    void OnTitleChanged(const QString& title);
    void OnConnectionChanged(bool connected);

    CPalaverDoc& m_doc;
    QPointer<QLabel> m_pConnectionLabel;
};
