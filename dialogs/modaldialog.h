#pragma once

#include <QDialog>

class QGridLayout;

class QEventLoop;
class QString;

// Gives a dialog a fixed frame: no maximise box, no sizing border, its size
// always its layout's size hint, and wide enough for its whole caption.
// Call it once the dialog's layout and caption are set.
void SetFixedFrame(QDialog* dialog);

// Puts `box` in row `row` of `grid`, beside a label with `text` (the label's
// parent is the box's) that also names the box for screen readers.
void AddLabelledRow(QGridLayout* grid, int row, const QString& text, QWidget* box);

// Results of a modal run, as the dialogs report them.
enum DialogResult { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// A dialog whose modal run ends only through EndDialog, never by being
// hidden. The dialogs that wait for the server (login, registration, change
// password, blocked users) hide themselves after sending and keep their run
// going; they end themselves, or show themselves again, when the session
// signals the answer (the slots below).
// QDialog::exec would return as soon as such a dialog hides, so every dialog
// that waits for the server is run with RunModal instead.
//
// accept() (Enter on the default button) ends the run with IDOK, reject()
// (Esc, the close box) with IDCANCEL; subclasses override them for their own
// OK and Cancel handling.
class CModalDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CModalDialog(QWidget* parent = nullptr);
    ~CModalDialog() override;

    // Shows the dialog application-modal, with a fixed frame, and runs its
    // own event loop until EndDialog; returns the result given to EndDialog. Records from the
    // server keep being dispatched inside this loop.
    int RunModal();
    // Ends the run (or, before it starts, makes it return at once) with
    // `result`, and hides the dialog.
    void EndDialog(int result);

    bool IsRunning() const { return m_pLoop != nullptr; }

    // Answers from the session, for connecting to its signals: ends the run
    // with 0, then shows `text` in a box.
    void EndWithMessage(const QString& text);
    // Shows the dialog, shows `text` in a box over it, then ends the run with 0.
    void ShowMessageThenEnd(const QString& text);
    // A run whose dialog hid itself to wait is shown again: the answer can
    // no longer come.
    void ShowIfWaiting();

protected:
    // Runs once at the start of RunModal, before the dialog is shown: fill
    // the controls here. It may already send, show boxes or end the dialog.
    virtual void OnInitDialog() {}
    // Runs once when RunModal's run is over, the dialog still alive: a
    // dialog that told the session it waits takes that back here.
    virtual void OnEndRun() {}

public:
    void done(int result) override;
    void accept() override;
    void reject() override;

private:
    QEventLoop* m_pLoop = nullptr;
    int m_nResult = 0;
    bool m_bEnded = false;
    bool m_bFrameFixed = false;
};
