// The preferences sheet: a working copy, applied page by page into the
// session's settings and saved group by group.
#include "commandids.h"
#include "preferences.h"
#include "shellfixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

class TestPreferences : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        CPreferences::SetColorChooser({});
        CPreferences::SetFontChooser({});
    }
    void Layout();
    void CancelChangesNothing();
    void OkStoresLoginGroup();
    void ColourAppliesAtOnce();
    void FontStoresHeight();
    void RunFromCommand();
};

namespace {

// Runs the sheet as the Preferences command would, with `act` run inside
// its modal loop.
void RunSheet(CShellFixture& f, const std::function<void(CPreferences&)>& act)
{
    QTimer::singleShot(0, [&f, act] {
        auto* sheet = qobject_cast<CPreferences*>(f.doc->m_pPreferences.data());
        QVERIFY(sheet);
        act(*sheet);
    });
    f.frame->ExecuteCommand(ID_FILE_PREFERENCES);
}

} // namespace

void TestPreferences::Layout()
{
    CShellFixture f;
    CPreferences sheet(QStringLiteral("Murmurly Preferences"), f.doc.get(), nullptr, 0);
    QCOMPARE(sheet.windowTitle(), QStringLiteral("Murmurly Preferences"));
    QCOMPARE(sheet.Tabs()->count(), 2);
    QCOMPARE(sheet.Tabs()->tabText(0), QStringLiteral("Login Preferences"));
    QCOMPARE(sheet.Tabs()->tabText(1), QStringLiteral("Color and Fonts"));
    QCOMPARE(sheet.Tabs()->currentIndex(), 0);
    QVERIFY(!sheet.ApplyButton()->isEnabled());
    QCOMPARE(sheet.LoginPage()->RememberBox()->text(), QStringLiteral("&Remember My ID and Password"));
    QCOMPARE(sheet.LoginPage()->AutoLoginBox()->text(), QStringLiteral("&Automatically Login"));
    QCOMPARE(sheet.LoginPage()->PasswordBox()->echoMode(), QLineEdit::Password);
}

void TestPreferences::CancelChangesNothing()
{
    CShellFixture f;
    RunSheet(f, [](CPreferences& sheet) {
        sheet.LoginPage()->UserNameBox()->setText(QStringLiteral("zed"));
        sheet.CancelButton()->click();
    });
    QVERIFY(!f.doc->m_pPreferences);
    QVERIFY(f.doc->Settings().m_strUserName.empty());
    QVERIFY(!QFile::exists(f.home.SettingsFile()));
}

void TestPreferences::OkStoresLoginGroup()
{
    CShellFixture f;
    RunSheet(f, [](CPreferences& sheet) {
        // Opening fills the boxes without marking the page changed.
        QVERIFY(!sheet.LoginPage()->IsModified());
        QTest::keyClicks(sheet.LoginPage()->UserNameBox(), QStringLiteral("zed"));
        QTest::keyClicks(sheet.LoginPage()->PasswordBox(), QStringLiteral("pw9"));
        sheet.LoginPage()->RememberBox()->click();
        QVERIFY(sheet.ApplyButton()->isEnabled());
        sheet.OkButton()->click();
    });
    QCOMPARE(f.doc->Settings().m_strUserName, std::string("zed"));
    QCOMPARE(f.doc->Settings().m_nRememberLogin, 1);
    auto store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/Login/UserName")).toString(), QStringLiteral("zed"));
    QCOMPARE(store->value(QStringLiteral("Settings/Login/Password")).toString(), QStringLiteral("pw9"));
    QCOMPARE(store->value(QStringLiteral("Settings/Login/RememberLogin")).toInt(), 1);
}

void TestPreferences::ColourAppliesAtOnce()
{
    CShellFixture f;
    CPreferences::SetColorChooser([] { return std::optional<QColor>(QColor(0x10, 0x20, 0x30)); });
    RunSheet(f, [&f](CPreferences& sheet) {
        sheet.Tabs()->setCurrentIndex(1);
        sheet.ColorFontsPage()->OnChooseColor();
        QVERIFY(sheet.ApplyButton()->isEnabled());
        sheet.ApplyButton()->click();
        QVERIFY(!sheet.ApplyButton()->isEnabled());
        QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
        sheet.CancelButton()->click();
    });
    QCOMPARE(f.doc->Settings().m_nColor, 0x302010u);
    auto store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/ColorFonts/Color")).toUInt(), 0x302010u);
}

void TestPreferences::FontStoresHeight()
{
    CShellFixture f;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(12);
    font.setBold(true);
    font.setItalic(true);
    CPreferences::SetFontChooser([font] {
        return std::optional<CPreferences::CChosenFont>({font, QColor(0xFF, 0, 0)});
    });
    RunSheet(f, [](CPreferences& sheet) {
        sheet.ColorFontsPage()->OnChooseFont();
        sheet.OkButton()->click();
    });
    const CUserSettings& s = f.doc->Settings();
    QCOMPARE(s.m_nHeight, 240);
    QCOMPARE(s.m_strFaceName, std::string("DejaVu Sans"));
    QCOMPARE(std::string(s.m_font.lfFaceName), std::string("DejaVu Sans"));
    QCOMPARE(s.m_font.lfWeight, 700);
    QCOMPARE(int(s.m_font.lfItalic), 1);
    QCOMPARE(s.m_nFontColor, 0x0000FFu);
    auto store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/ColorFonts/Font/Height")).toInt(), 240);
}

void TestPreferences::RunFromCommand()
{
    // Logged out, Preferences is enabled and runs; cancelling a chooser changes nothing.
    CShellFixture f;
    CPreferences::SetColorChooser([] { return std::optional<QColor>(); });
    RunSheet(f, [](CPreferences& sheet) {
        sheet.ColorFontsPage()->OnChooseColor();
        QVERIFY(!sheet.ApplyButton()->isEnabled());
        sheet.OkButton()->click();
    });
    QCOMPARE(f.doc->Settings().m_nColor, 0xFFFFFFu);
}

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
