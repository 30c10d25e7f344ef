#pragma once

#include <QApplication>
#include <QPointer>

#include <memory>

class CMainFrame;
class CPalaverDoc;
class QSocketNotifier;
struct CSessionTiming;

// The application: starts the client in a fixed order, offers every event
// to the splash window first, and ends when the main window closes (the
// session logs off on the way).
class CPalaverApp final : public QApplication
{
    Q_OBJECT

public:
    CPalaverApp(int& argc, char** argv);
    ~CPalaverApp() override;

    // Start-up, before the main loop: the main frame (and splash), the
    // session with its friends list, the main window, then Change User,
    // whose login dialog runs modally here. False ends the program.
    // Started for embedding or automation, the program only waits hidden.
    bool InitInstance();
    bool InitInstance(const CSessionTiming& timing);

    // Every event passes PreTranslateMessage first: one it consumes is not
    // delivered.
    bool notify(QObject* receiver, QEvent* event) override;
    // The splash window's filter: true when the event hid the splash.
    static bool PreTranslateMessage(QObject* receiver, QEvent* event);

    // "-Embedding" or "-Automation" (also with "/"), in any case.
    static bool IsEmbedding(const QStringList& arguments);

    CMainFrame* MainFrame() const;
    // The main window has closed: the program is over, also when that
    // happened before the main loop started (the login dialog at start-up).
    bool HasEnded() const { return m_bEnded; }
    CPalaverDoc* Document() const { return m_pDoc.get(); }

private:
    void InstallTerminationHandler();
    void OnTerminationRequested();
    void OnMainFrameClosed();

    QPointer<CMainFrame> m_pMainFrame;
    std::unique_ptr<CPalaverDoc> m_pDoc;
    QSocketNotifier* m_pTermNotifier = nullptr;
    bool m_bEnded = false;
};
