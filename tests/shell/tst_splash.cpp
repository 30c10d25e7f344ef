// The splash window, under the application object whose event filter offers
// every event to it first.
#include "palaverapp.h"
#include "settingshome.h"
#include "splashwnd.h"
#include "waits.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QWindow>

using namespace std::chrono_literals;

class TestSplash : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        CSplashWindow::HideSplash();
        CSplashWindow::SetSplashEnabled(false);
        Spin(20ms);
    }
    void OffByDefault();
    void ShownOnceCentred();
    void KeyPressHidesAndIsSwallowed();
    void MouseClickHidesAndIsSwallowed();
    void GoneAfterTimer();
};

void TestSplash::OffByDefault()
{
    QWidget parent;
    CSplashWindow::ShowSplash(&parent);
    QVERIFY(!CSplashWindow::Current());
}

void TestSplash::ShownOnceCentred()
{
    QWidget parent;
    CSplashWindow::SetSplashEnabled(true);
    CSplashWindow::ShowSplash(&parent);
    CSplashWindow* splash = CSplashWindow::Current();
    QVERIFY(splash);
    QVERIFY(splash->isVisible());
    QCOMPARE(splash->size(), QSize(520, 317));
    QVERIFY(splash->windowFlags() & Qt::FramelessWindowHint);
    // Owned by the window it was shown for, though that is not shown yet,
    // and kept above it.
    QVERIFY(splash->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(parent.windowHandle());
    QCOMPARE(splash->windowHandle()->transientParent(), parent.windowHandle());
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(qAbs(splash->geometry().center().x() - area.center().x()) <= 1);
    QVERIFY(qAbs(splash->geometry().center().y() - area.center().y()) <= 1);
    // A second request while one is up changes nothing.
    CSplashWindow::ShowSplash(&parent);
    QCOMPARE(CSplashWindow::Current(), splash);
}

void TestSplash::KeyPressHidesAndIsSwallowed()
{
    QLineEdit edit;
    edit.show();
    CSplashWindow::SetSplashEnabled(true);
    CSplashWindow::ShowSplash(&edit);
    QVERIFY(CSplashWindow::Current());
    QTest::keyClick(&edit, Qt::Key_A);
    QVERIFY(!CSplashWindow::Current());
    QCOMPARE(edit.text(), QString());
    // The next key reaches the box.
    QTest::keyClick(&edit, Qt::Key_B);
    QCOMPARE(edit.text(), QStringLiteral("b"));
}

void TestSplash::MouseClickHidesAndIsSwallowed()
{
    QWidget target;
    target.resize(100, 100);
    target.show();
    int presses = 0;
    struct CPressCounter : QObject
    {
        int& count;
        explicit CPressCounter(int& c) : count(c) {}
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::MouseButtonPress)
                ++count;
            return false;
        }
    } counter(presses);
    target.installEventFilter(&counter);
    CSplashWindow::SetSplashEnabled(true);
    CSplashWindow::ShowSplash(&target);
    QTest::mousePress(&target, Qt::RightButton, {}, QPoint(10, 10));
    QVERIFY(!CSplashWindow::Current());
    QCOMPARE(presses, 0);
    QTest::mouseRelease(&target, Qt::RightButton, {}, QPoint(10, 10));
    QTest::mousePress(&target, Qt::LeftButton, {}, QPoint(10, 10));
    QCOMPARE(presses, 1);
}

void TestSplash::GoneAfterTimer()
{
    QWidget parent;
    CSplashWindow::SetSplashEnabled(true);
    QElapsedTimer clock;
    clock.start();
    CSplashWindow::ShowSplash(&parent);
    QVERIFY(CSplashWindow::Current());
    Spin(500ms);
    QVERIFY(CSplashWindow::Current());
    QVERIFY(WaitUntil([] { return CSplashWindow::Current() == nullptr; }, 3s));
    QVERIFY(clock.elapsed() >= 740);
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    CPalaverApp app(argc, argv);
    TestSplash test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_splash.moc"
