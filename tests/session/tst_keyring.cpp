// The remembered password in the desktop's keyring, against a real GNOME
// Keyring in the test's own D-Bus session: moved there from the settings
// file at the first start that finds it, read back from there, replaced by
// a save, and removed once nothing is remembered.
#include "keyring.h"
#include "palaverdoc.h"
#include "secretstore.h"
#include "settingshome.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

class TestKeyring : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void passwordMovesToTheKeyring();
    void saveKeepsItThereAndForgetRemovesIt();

private:
    static QVariant Stored(const char* key) { return OpenSettingsRoot()->value(QString::fromLatin1(key)); }
    static bool FileHolds(const QByteArray& text)
    {
        QFile file(OpenSettingsRoot()->fileName());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
    }

    CKeyring m_keyring;
};

void TestKeyring::initTestCase()
{
    QVERIFY(m_keyring.IsRunning());
    QVERIFY(CSecretStore::Available());
    QVERIFY(PasswordPlace().contains(QStringLiteral("keyring")));
}

void TestKeyring::passwordMovesToTheKeyring()
{
    StoreRememberedLogin(QStringLiteral("anna"), QStringLiteral("secret1"));
    {
        CPalaverDoc doc;
        doc.LoadSettings();
        QCOMPARE(doc.Settings().m_strPassword, std::string("secret1"));
    }
    QCOMPARE(CSecretStore::Read("anna"), std::optional<std::string>("secret1"));
    QCOMPARE(Stored("Settings/Login/Password").toString(), QString());
    QVERIFY(!FileHolds("secret1"));

    // The next start reads it from there.
    CPalaverDoc again;
    again.LoadSettings();
    QCOMPARE(again.Settings().m_strUserName, std::string("anna"));
    QCOMPARE(again.Settings().m_strPassword, std::string("secret1"));
}

void TestKeyring::saveKeepsItThereAndForgetRemovesIt()
{
    CPalaverDoc doc;
    doc.LoadSettings();
    doc.Settings().m_strPassword = "other22";
    doc.SaveSettings(SettingsLogin);
    QCOMPARE(CSecretStore::Read("anna"), std::optional<std::string>("other22"));
    QVERIFY(!FileHolds("other22"));

    doc.Settings().m_nRememberLogin = 0;
    doc.SaveSettings(SettingsLogin);
    QCOMPARE(CSecretStore::Read("anna"), std::nullopt);
}

int main(int argc, char* argv[])
{
    CSettingsHome home;
    QCoreApplication app(argc, argv);
    TestKeyring test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_keyring.moc"
