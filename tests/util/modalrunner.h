#pragma once

#include "modaldialog.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>

// The result a modal run reports when the guard below had to end it.
inline constexpr int kModalTimedOut = -1;

// Ends `dialog`'s run with kModalTimedOut if it is still running after
// `timeout`: for a dialog that something else runs, such as one opened by a
// button of another dialog.
inline void GuardModal(CModalDialog& dialog, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    QPointer<CModalDialog> target(&dialog);
    QTimer::singleShot(timeout, &dialog, [target] {
        if (target && target->IsRunning())
            target->EndDialog(kModalTimedOut);
    });
}

// Runs `dialog` with RunModal and calls `action` from inside its loop, once
// the dialog is up; a guard ends the run with kModalTimedOut after
// `timeout`, so a dialog the test fails to close never blocks the test.
inline int RunModalWith(CModalDialog& dialog, std::function<void()> action,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    GuardModal(dialog, timeout);
    if (action)
        QTimer::singleShot(0, &dialog, std::move(action));
    return dialog.RunModal();
}

// The top-level dialog of type T whose modal run is going on, or null: the
// dialog the program opened and the test drives.
template <typename T> T* RunningDialog()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<T*>(window); dialog && dialog->IsRunning())
            return dialog;
    }
    return nullptr;
}

// A visible top-level window of type T, or null.
template <typename T> T* VisibleWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<T*>(window); found && found->isVisible())
            return found;
    }
    return nullptr;
}
