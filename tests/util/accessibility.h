#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>

class QWidget;

// One object of a window as a screen reader finds it.
struct CAccessibleNode
{
    int depth = 0;
    bool focusable = false;
    QString name;
    QStringList interfaces;
};

// Reads this program's windows through the real AT-SPI bus, the way a screen
// reader does: a separate reader walks the tree over D-Bus while this event
// loop answers. Needs a session bus (dbus-run-session), the at-spi2-core
// bus launcher, python3-pyatspi and QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1.
// The offscreen platform has no bridge of its own, so one is made here.
class CAccessibilityReader
{
public:
    CAccessibilityReader();
    ~CAccessibilityReader();

    // Every object of the top-level window titled `title`, in tree order,
    // or nothing with Error() saying why.
    QList<CAccessibleNode> ReadWindow(const QString& title,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
    const QString& Error() const { return m_error; }

private:
    QString m_error;
};

// The objects that take the keyboard but have no name to read out, each as
// the names of its ancestors down to it.
QStringList UnnamedControls(const QList<CAccessibleNode>& nodes);

// The Alt keys that more than one visible control or menu of `window` claims
// (buttons, labels with a buddy, tabs and the menu bar).
QStringList MnemonicClashes(QWidget* window);
