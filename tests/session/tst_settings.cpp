// The settings store: what is read and written, in which sections, the
// file's permissions, and the session's reactions to a save.

#include "connectwait.h"
#include "multiclientserver.h"
#include "scratchsettings.h"
#include "sessionrig.h"
#include "waits.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QtTest>

#include <cstring>

#include <sys/stat.h>

using namespace std::chrono_literals;

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void nothingStoredLoadsZeros();
    void rememberedLoginIsReadAndWritten();
    void withoutRememberNameAndPasswordStayAndWriteEmpty();
    void fontGroupRoundTrip();
    void heightComesFromTheHeightField();
    void fontBytesReadAsLowByte();
    void groupsWriteOnlyTheirSections();
    void fileIsOwnerOnly();
    void sameUserDoesNotLogOff();
    void otherUserLogsOffAndAsksAgain();
    void colourSaveUpdatesTheView();

private:
    static unsigned Mode(const QString& path)
    {
        struct stat info
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return ~0u;
        return info.st_mode & 0777u;
    }
    static void Remove() { QFile::remove(OpenSettingsRoot()->fileName()); }
    static QVariant Stored(const char* key) { return OpenSettingsRoot()->value(QString::fromLatin1(key)); }
};

void TestSettings::init()
{
    Remove();
}

void TestSettings::cleanup()
{
    Remove();
}

void TestSettings::nothingStoredLoadsZeros()
{
    CUserSettings s;
    s.m_nColor = 7;
    s.m_font.lfWeight = 9;
    s.m_font.lfItalic = 1;
    std::strcpy(s.m_font.lfFaceName, "Old");
    s.m_nHeight = 5;
    ReadUserSettings(*OpenSettingsRoot(), s);
    QCOMPARE(s.m_nRememberLogin, 0);
    QCOMPARE(s.m_nAutoLogin, 0);
    QCOMPARE(s.m_nColor, 0u);
    QCOMPARE(s.m_nFontColor, 0u);
    QCOMPARE(s.m_nHeight, 0);
    QCOMPARE(s.m_font.lfWeight, 0);
    QCOMPARE(s.m_font.lfItalic, uint8_t(0));
    QCOMPARE(s.m_font.lfFaceName[0], '\0');
    QVERIFY(s.m_strFaceName.empty());
    QVERIFY(!QFile::exists(OpenSettingsRoot()->fileName()));
}

void TestSettings::rememberedLoginIsReadAndWritten()
{
    CUserSettings s;
    s.m_nRememberLogin = 1;
    s.m_nAutoLogin = 1;
    s.m_strUserName = "ann";
    s.m_strPassword = "p=w;1 \"x\"";
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsLogin);
    QCOMPARE(Stored("Settings/Login/UserName").toString(), QStringLiteral("ann"));
    QCOMPARE(Stored("Settings/Login/Password").toString(), QStringLiteral("p=w;1 \"x\""));

    CUserSettings read;
    ReadUserSettings(*OpenSettingsRoot(), read);
    QCOMPARE(read.m_nRememberLogin, 1);
    QCOMPARE(read.m_nAutoLogin, 1);
    QCOMPARE(read.m_strUserName, std::string("ann"));
    QCOMPARE(read.m_strPassword, s.m_strPassword);
}

void TestSettings::withoutRememberNameAndPasswordStayAndWriteEmpty()
{
    {
        std::unique_ptr<QSettings> store = OpenSettingsRoot();
        store->setValue(QStringLiteral("Settings/Login/RememberLogin"), 0);
        store->setValue(QStringLiteral("Settings/Login/UserName"), QStringLiteral("stored"));
        store->setValue(QStringLiteral("Settings/Login/Password"), QStringLiteral("storedpw"));
    }
    CUserSettings s;
    s.m_strUserName = "present";
    s.m_strPassword = "presentpw";
    ReadUserSettings(*OpenSettingsRoot(), s);
    QCOMPARE(s.m_strUserName, std::string("present"));
    QCOMPARE(s.m_strPassword, std::string("presentpw"));

    WriteUserSettings(*OpenSettingsRoot(), s, SettingsLogin);
    QCOMPARE(Stored("Settings/Login/UserName").toString(), QString());
    QCOMPARE(Stored("Settings/Login/Password").toString(), QString());
    QVERIFY(OpenSettingsRoot()->contains(QStringLiteral("Settings/Login/UserName")));
}

void TestSettings::fontGroupRoundTrip()
{
    CUserSettings s;
    s.m_nColor = 0x00C0FFEE;
    s.m_nFontColor = 0x000000FF;
    s.m_nHeight = 240;
    s.m_font.lfWidth = 1;
    s.m_font.lfEscapement = 2;
    s.m_font.lfOrientation = 3;
    s.m_font.lfWeight = 700;
    s.m_font.lfItalic = 1;
    s.m_font.lfUnderline = 1;
    s.m_font.lfStrikeOut = 1;
    s.m_font.lfCharSet = 204;
    s.m_font.lfOutPrecision = 3;
    s.m_font.lfClipPrecision = 2;
    s.m_font.lfQuality = 5;
    s.m_font.lfPitchAndFamily = 34;
    std::strcpy(s.m_font.lfFaceName, "DejaVu Sans");
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsColorFonts);

    CUserSettings read;
    ReadUserSettings(*OpenSettingsRoot(), read);
    QCOMPARE(read.m_nColor, 0x00C0FFEEu);
    QCOMPARE(read.m_nFontColor, 0x000000FFu);
    QCOMPARE(read.m_nHeight, 240);
    QCOMPARE(read.m_font, s.m_font);
    QCOMPARE(read.m_strFaceName, std::string("DejaVu Sans"));
    QCOMPARE(Stored("Settings/ColorFonts/Font/Charset").toInt(), 204);

    // A face name longer than the font holds is cut at 31 bytes.
    OpenSettingsRoot()->setValue(QStringLiteral("Settings/ColorFonts/Font/FaceName"),
                                 QString(40, QLatin1Char('f')));
    ReadUserSettings(*OpenSettingsRoot(), read);
    QCOMPARE(std::string(read.m_font.lfFaceName), std::string(31, 'f'));
    QCOMPARE(read.m_strFaceName, std::string(40, 'f'));
}

void TestSettings::heightComesFromTheHeightField()
{
    CUserSettings s;
    s.m_nHeight = 220;
    s.m_font.lfHeight = -15;
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsColorFonts);
    QCOMPARE(Stored("Settings/ColorFonts/Font/Height").toInt(), 220);

    CUserSettings read;
    read.m_font.lfHeight = -11;
    ReadUserSettings(*OpenSettingsRoot(), read);
    QCOMPARE(read.m_nHeight, 220);
    QCOMPARE(read.m_font.lfHeight, -11);
}

void TestSettings::fontBytesReadAsLowByte()
{
    {
        std::unique_ptr<QSettings> store = OpenSettingsRoot();
        store->setValue(QStringLiteral("Settings/ColorFonts/Font/Italic"), 257);
        store->setValue(QStringLiteral("Settings/ColorFonts/Font/Charset"), 300);
        store->setValue(QStringLiteral("Settings/ColorFonts/Font/Quality"), QStringLiteral("junk"));
        store->setValue(QStringLiteral("Settings/ColorFonts/Font/Weight"), QStringLiteral("junk"));
    }
    CUserSettings s;
    ReadUserSettings(*OpenSettingsRoot(), s);
    QCOMPARE(s.m_font.lfItalic, uint8_t(1));
    QCOMPARE(s.m_font.lfCharSet, uint8_t(44));
    QCOMPARE(s.m_font.lfQuality, uint8_t(0));
    QCOMPARE(s.m_font.lfWeight, 0);
}

void TestSettings::groupsWriteOnlyTheirSections()
{
    CUserSettings s;
    s.m_nRememberLogin = 1;
    s.m_strUserName = "ann";
    s.m_nColor = 5;
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsLogin);
    QVERIFY(!OpenSettingsRoot()->contains(QStringLiteral("Settings/ColorFonts/Color")));
    Remove();
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsColorFonts);
    QVERIFY(!OpenSettingsRoot()->contains(QStringLiteral("Settings/Login/UserName")));
    QCOMPARE(Stored("Settings/ColorFonts/Color").toInt(), 5);
    Remove();
    WriteUserSettings(*OpenSettingsRoot(), s, SettingsAll);
    QCOMPARE(Stored("Settings/Login/UserName").toString(), QStringLiteral("ann"));
    QCOMPARE(Stored("Settings/ColorFonts/Color").toInt(), 5);
}

void TestSettings::fileIsOwnerOnly()
{
    CPalaverDoc doc(CSessionTiming{CConnectionTiming{0ms, 0ms, 1000ms}, 0ms, {}});
    ConnectSessionPrompts(doc);
    doc.Settings().m_nRememberLogin = 1;
    doc.Settings().m_strPassword = "secret1";
    doc.SaveSettings(SettingsAll);
    const QString path = OpenSettingsRoot()->fileName();
    QVERIFY(QFile::exists(path));
    QCOMPARE(Mode(path), 0600u);

    // A file that someone opened up is closed again on the next save.
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    doc.SaveSettings(SettingsLogin);
    QCOMPARE(Mode(path), 0600u);
}

void TestSettings::sameUserDoesNotLogOff()
{
    CSessionRig rig;
    QVERIFY(rig.Connect());
    QVERIFY(rig.LogIn("ann", {"bob"}));
    rig.m_pDoc->Settings().m_nRememberLogin = 1;
    rig.m_pDoc->SaveSettings(SettingsLogin);
    rig.m_pDoc->SaveSettings(SettingsAll);
    QVERIFY(NothingSentBefore(*rig.m_pDoc, *rig.m_pServer));
    QVERIFY(rig.m_pDoc->IsLoggedIn());
    QCOMPARE(rig.m_pView->m_nLoginDialogs, 0);
    QCOMPARE(rig.m_pServer->AcceptedCount(), 1);
}

void TestSettings::otherUserLogsOffAndAsksAgain()
{
    // A server that keeps each connection, so the "X" on the first is seen
    // whatever the order in which the reconnection arrives.
    CSessionRig rig;
    CMultiClientServer server;
    rig.m_pDir->WriteConfig("127.0.0.1", server.Port());
    CPalaverDoc& doc = *rig.m_pDoc;
    QVERIFY(doc.OpenConnection() && WaitForConnect(doc.Connection()));
    QVERIFY(server.WaitForConnections(1));
    CFakeLoginDlg login;
    login.m_strUserName = "ann";
    login.AwaitAnswer(doc);
    QCOMPARE(RunModalWithScript(login,
                                [&] {
                                    login.hide();
                                    server.Inject(0, Record("SL", {}, "ann"));
                                    server.Inject(0, Record("SLU", {}, "ann", {"bob"}));
                                }),
             0);
    doc.EndLogin();
    QVERIFY(doc.IsLoggedIn());
    QVERIFY(server.Expect(0, "SL"));
    QVERIFY(server.Expect(0, "SLO"));

    // A different name, even by case only.
    doc.Settings().m_strUserName = "Ann";
    doc.SaveSettings(SettingsLogin);
    std::optional<CNetMessage> logoff = server.Expect(0, "X");
    QVERIFY(logoff);
    QCOMPARE(logoff->sender, std::string("ann"));
    QCOMPARE(logoff->recipient, std::string("ann"));
    QVERIFY(server.WaitForClosed(0));
    QVERIFY(server.WaitForConnections(2));
    QVERIFY(!doc.IsLoggedIn());
    QVERIFY(WaitForConnect(doc.Connection()));
    QCOMPARE(rig.m_pView->m_nLoginDialogs, 1);
    QVERIFY(rig.m_pView->m_updates.empty());

    // Not logged in: nothing happens however the name differs.
    doc.Settings().m_strUserName = "cy";
    doc.SaveSettings(SettingsAll);
    QCOMPARE(rig.m_pView->m_nLoginDialogs, 1);
    QVERIFY(server.ExpectNoRecord(1));
}

void TestSettings::colourSaveUpdatesTheView()
{
    CSessionRig rig;
    rig.m_pDoc->SaveSettings(SettingsColorFonts);
    QCOMPARE(rig.m_pView->m_updates, std::vector<int>{1});
    rig.m_pDoc->SaveSettings(SettingsAll);
    QCOMPARE(rig.m_pView->m_updates, (std::vector<int>{1, 1}));
    rig.m_pDoc->SaveSettings(SettingsLogin);
    QCOMPARE(rig.m_pView->m_updates.size(), std::size_t(2));
}

SESSION_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
