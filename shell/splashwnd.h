#pragma once

#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QEvent;
class QObject;

// The picture shown in the middle of the screen while the client starts. It
// goes after 750 ms, or at the first key press or mouse button press
// anywhere in the application, which it swallows. There is at most one; the
// switch is off unless start-up turns it on.
class CSplashWindow final : public QWidget
{
    Q_OBJECT

public:
    ~CSplashWindow() override;

    static void SetSplashEnabled(bool enabled);
    static bool IsSplashEnabled();
    // Shows the splash over `parent` when the switch is on and none exists.
    static void ShowSplash(QWidget* parent);
    // True when the event was a key press or a mouse button press while the
    // splash was up: the splash is gone and the event must not be delivered.
    static bool FilterSplashMessage(QObject* receiver, QEvent* event);
    static void HideSplash();
    static CSplashWindow* Current();

    // The picture's size: 520 by 317 pixels.
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 317;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    explicit CSplashWindow(QWidget* parent);
    bool Create();

    QPixmap m_bitmap;
    QTimer m_timer;
    QPointer<QWidget> m_pMainWindow;
};
