// The preferences sheet: a working copy, applied page by page into the
// session's settings and saved group by group.
#include "commandids.h"
#include "preferences.h"
#include "shellfixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <cstring>

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
    void ModifiedFlags();
    void CancelKeepsEverything();
    void RememberOffEmptiesStoredLogin();
    void FontWithoutFaceChangesNothing();
    void OtherUserLogsOffAndAsksAgain();
};

namespace {

// Runs the sheet as the Preferences command would, with `act` run inside
// its modal loop.
void RunSheet(CShellFixture& f, const std::function<void(CPreferences&)>& act)
{
    QTimer::singleShot(0, [&f, act] {
        auto* sheet = qobject_cast<CPreferences*>(RunningDialog<CPreferences>());
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
    QCOMPARE(sheet.Tabs()->count(), 4);
    QCOMPARE(sheet.Tabs()->tabText(0), QStringLiteral("Login Preferences"));
    QCOMPARE(sheet.Tabs()->tabText(1), QStringLiteral("Color and Fonts"));
    QCOMPARE(sheet.Tabs()->tabText(2), QStringLiteral("History"));
    QCOMPARE(sheet.Tabs()->tabText(3), QStringLiteral("Notices"));
    QCOMPARE(sheet.Tabs()->currentIndex(), 0);
    QVERIFY(!sheet.ApplyButton()->isEnabled());
    QCOMPARE(sheet.LoginPage()->RememberBox()->text(), QStringLiteral("&Remember My ID and Password"));
    QCOMPARE(sheet.LoginPage()->AutoLoginBox()->text(), QStringLiteral("&Automatically Login"));
    QCOMPARE(sheet.LoginPage()->PasswordBox()->echoMode(), QLineEdit::Password);
    // No keyring runs here: the page says the password stays in the file.
    const auto* place = sheet.LoginPage()->findChild<QLabel*>(QStringLiteral("passwordPlace"));
    QVERIFY(place && place->text().contains(OpenSettingsRoot()->fileName()));

    // The picture in docs/ comes from here, when a folder is given: with the
    // settings where they are by default, under a home of its own, so that
    // the page names the file as a user's would.
    const QString folder = qEnvironmentVariable("MURMURLY_SCREENSHOTS");
    if (!folder.isEmpty()) {
        const QByteArray realHome = qgetenv("HOME");
        qputenv("HOME", f.home.Path().toLocal8Bit());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           f.home.Path() + QStringLiteral("/.config"));
        CPreferences shownSheet(QStringLiteral("Murmurly Preferences"), f.doc.get(), nullptr, 0);
        qputenv("HOME", realHome);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, f.home.Path());
        CUserSettings shown;
        shown.m_strUserName = "anna";
        shown.m_strPassword = "secret1";
        shown.m_nRememberLogin = 1;
        shownSheet.LoginPage()->Fill(shown);
        shownSheet.show();
        QVERIFY(shownSheet.grab().save(QDir(folder).filePath(QStringLiteral("preferences.png"))));
    }
}

void TestPreferences::CancelChangesNothing()
{
    CShellFixture f;
    RunSheet(f, [](CPreferences& sheet) {
        sheet.LoginPage()->UserNameBox()->setText(QStringLiteral("zed"));
        sheet.CancelButton()->click();
    });
    QVERIFY(!RunningDialog<CPreferences>());
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
    // It starts where a conversation window starts: no default font yet,
    // so the fallback, Arial 10 points black.
    std::optional<CPreferences::CChosenFont> started;
    CPreferences::SetFontChooser([&](const CPreferences::CChosenFont& current) {
        started = current;
        return std::optional<CPreferences::CChosenFont>({font, QColor(0xFF, 0, 0)});
    });
    RunSheet(f, [](CPreferences& sheet) {
        sheet.ColorFontsPage()->OnChooseFont();
        sheet.OkButton()->click();
    });
    QVERIFY(started);
    QCOMPARE(started->font.family(), QStringLiteral("Arial"));
    QCOMPARE(started->font.pointSizeF(), 10.0);
    QCOMPARE(started->color, QColor(Qt::black));
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

namespace {

bool SameSettings(const CUserSettings& a, const CUserSettings& b)
{
    return a.m_nRememberLogin == b.m_nRememberLogin && a.m_nAutoLogin == b.m_nAutoLogin &&
           a.m_strUserName == b.m_strUserName && a.m_strPassword == b.m_strPassword &&
           a.m_nColor == b.m_nColor && std::memcmp(&a.m_font, &b.m_font, sizeof(CLogFont)) == 0 &&
           a.m_strFaceName == b.m_strFaceName && a.m_nFontColor == b.m_nFontColor &&
           a.m_nHeight == b.m_nHeight;
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void StoreLogin(const QString& name, const QString& password)
{
    auto store = OpenSettingsRoot();
    store->setValue(QStringLiteral("Settings/Login/RememberLogin"), 1);
    store->setValue(QStringLiteral("Settings/Login/AutoLogin"), 0);
    store->setValue(QStringLiteral("Settings/Login/UserName"), name);
    store->setValue(QStringLiteral("Settings/Login/Password"), password);
}

} // namespace

void TestPreferences::ModifiedFlags()
{
    CShellFixture f(true, [] { StoreLogin(QStringLiteral("anna"), QStringLiteral("pw")); });
    CPreferences::SetColorChooser([] { return std::optional<QColor>(QColor(1, 2, 3)); });
    RunSheet(f, [&f](CPreferences& sheet) {
        // Filled from the session, yet nothing is changed yet.
        QCOMPARE(sheet.LoginPage()->UserNameBox()->text(), QStringLiteral("anna"));
        QVERIFY(sheet.LoginPage()->RememberBox()->isChecked());
        QVERIFY(!sheet.LoginPage()->IsModified());
        QVERIFY(!sheet.ColorFontsPage()->IsModified());
        QVERIFY(!sheet.ApplyButton()->isEnabled());

        // A change on one page marks that page only.
        sheet.ColorFontsPage()->OnChooseColor();
        QVERIFY(sheet.ColorFontsPage()->IsModified());
        QVERIFY(!sheet.LoginPage()->IsModified());
        QVERIFY(sheet.ApplyButton()->isEnabled());
        sheet.ApplyButton()->click();
        QVERIFY(!sheet.ApplyButton()->isEnabled());
        // Applying saves the colour group only: the login group is untouched.
        QCOMPARE(f.doc->Settings().m_nColor, 0x030201u);

        // The flag stays set: a later OK saves the same page again.
        auto store = OpenSettingsRoot();
        store->setValue(QStringLiteral("Settings/ColorFonts/Color"), 0);
        store.reset();
        sheet.LoginPage()->AutoLoginBox()->click();
        QVERIFY(sheet.LoginPage()->IsModified());
        QVERIFY(sheet.ApplyButton()->isEnabled());
        sheet.OkButton()->click();
    });
    QVERIFY(!RunningDialog<CPreferences>());
    auto store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/ColorFonts/Color")).toUInt(), 0x030201u);
    QCOMPARE(store->value(QStringLiteral("Settings/Login/AutoLogin")).toInt(), 1);
    QCOMPARE(f.doc->Settings().m_nAutoLogin, 1);
}

void TestPreferences::CancelKeepsEverything()
{
    CShellFixture f(true, [] { StoreLogin(QStringLiteral("anna"), QStringLiteral("pw")); });
    const CUserSettings before = f.doc->Settings();
    const QByteArray fileBefore = FileBytes(f.home.SettingsFile());
    QVERIFY(!fileBefore.isEmpty());
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(14);
    CPreferences::SetColorChooser([] { return std::optional<QColor>(QColor(9, 9, 9)); });
    CPreferences::SetFontChooser([font](const CPreferences::CChosenFont&) {
        return std::optional<CPreferences::CChosenFont>({font, Qt::red});
    });
    RunSheet(f, [](CPreferences& sheet) {
        QTest::keyClicks(sheet.LoginPage()->UserNameBox(), QStringLiteral("x"));
        sheet.LoginPage()->PasswordBox()->clear();
        sheet.LoginPage()->RememberBox()->click();
        sheet.LoginPage()->AutoLoginBox()->click();
        sheet.ColorFontsPage()->OnChooseColor();
        sheet.ColorFontsPage()->OnChooseFont();
        // The changes live in the working copy only.
        QCOMPARE(sheet.WorkingCopy().m_strUserName, std::string("annax"));
        QCOMPARE(sheet.WorkingCopy().m_nHeight, 280);
        sheet.CancelButton()->click();
    });
    QVERIFY(SameSettings(f.doc->Settings(), before));
    QCOMPARE(FileBytes(f.home.SettingsFile()), fileBefore);
    QCOMPARE(f.view->TreeControl()->palette().color(QPalette::Base), QColor(Qt::white));
}

void TestPreferences::RememberOffEmptiesStoredLogin()
{
    CShellFixture f(true, [] { StoreLogin(QStringLiteral("anna"), QStringLiteral("pw")); });
    RunSheet(f, [](CPreferences& sheet) {
        QVERIFY(sheet.LoginPage()->RememberBox()->isChecked());
        sheet.LoginPage()->RememberBox()->click();
        QCOMPARE(sheet.WorkingCopy().m_nRememberLogin, 0);
        sheet.ApplyButton()->click();
        sheet.CancelButton()->click();
    });
    QCOMPARE(f.doc->Settings().m_nRememberLogin, 0);
    auto store = OpenSettingsRoot();
    QCOMPARE(store->value(QStringLiteral("Settings/Login/RememberLogin")).toInt(), 0);
    QCOMPARE(store->value(QStringLiteral("Settings/Login/UserName")).toString(), QString());
    QCOMPARE(store->value(QStringLiteral("Settings/Login/Password")).toString(), QString());
}

void TestPreferences::FontWithoutFaceChangesNothing()
{
    CShellFixture f;
    QFont faceless;
    faceless.setFamilies({});
    faceless.setFamily(QString());
    CPreferences::SetFontChooser([faceless](const CPreferences::CChosenFont&) {
        return std::optional<CPreferences::CChosenFont>({faceless, Qt::red});
    });
    RunSheet(f, [](CPreferences& sheet) {
        sheet.ColorFontsPage()->OnChooseFont();
        QVERIFY(!sheet.ColorFontsPage()->IsModified());
        QVERIFY(!sheet.ApplyButton()->isEnabled());
        QCOMPARE(sheet.WorkingCopy().m_nHeight, 0);
        sheet.OkButton()->click();
    });
    QVERIFY(!QFile::exists(f.home.SettingsFile()));
}

void TestPreferences::OtherUserLogsOffAndAsksAgain()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    int loginAsked = 0;
    const std::unique_ptr<QTimer> cancel = f.CancelLoginDialogs(loginAsked);
    RunSheet(f, [](CPreferences& sheet) {
        QTest::keyClicks(sheet.LoginPage()->UserNameBox(), QStringLiteral("zed"));
        sheet.LoginPage()->RememberBox()->click();
        // The login dialog opens once the new connection is made.
        sheet.OkButton()->click();
    });
    QVERIFY(WaitUntil([&] { return loginAsked == 1 && !RunningDialog<CLoginDlg>(); }));
    // Logged off (the "X" went on the old connection, which the fake server
    // drops for the new one), then connected again.
    QVERIFY(WaitUntil([&] { return f.server.AcceptedCount() == 2; }));
    QVERIFY(!f.doc->IsLoggedIn());
    QVERIFY(!f.FindItem(QStringLiteral("bob")));
    QCOMPARE(f.doc->Settings().m_strUserName, std::string("annazed"));
    QVERIFY(!RunningDialog<CPreferences>());
}

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
