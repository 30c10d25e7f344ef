// End to end over TLS, with the real server and a throw-away certificate:
// the trust question and its two answers, a changed certificate, pinned
// fingerprints (matching, not matching, malformed), logging in, and the
// words for TLS to a clear-text port and clear text to a TLS port.
#include "clientstack.h"
#include "configdir.h"
#include "connectwait.h"
#include "serverconnection.h"
#include "serverprocess.h"
#include "testcertificate.h"
#include "usersettings.h"

#include <QSettings>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

class TestE2eTls : public QObject
{
    Q_OBJECT

private slots:
    void TrustPinAndLogin();
    void TlsToClearPortFails();
    void ClearTextToTlsPortSaysWhatToSet();
};

namespace {

bool Reconnect(CClientStack& client)
{
    return client.Doc().OpenConnection() && WaitForConnect(client.Doc().Connection());
}

} // namespace

void TestE2eTls::TrustPinAndLogin()
{
    QTemporaryDir dir;
    const CTestCertificate tls = WriteTestCertificate(dir.path().toStdString());
    CServerProcess server({"--tls-cert", tls.cert, "--tls-key", tls.key});
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(QString::fromStdString(tls.cert));
    QCOMPARE(certs.size(), 1);
    const QString fingerprint = CertificateFingerprint(certs.front());
    const QString key = QStringLiteral("Settings/Server/127.0.0.1:%1").arg(server.Port());

    // Self-signed and issued to "localhost": the user is asked, and Return
    // (the box's default, which the interceptor answers) does not trust it.
    CClientStack client(server.Port(), "USE_TLS=1\n");
    QVERIFY(!client.Doc().IsConnected());
    QCOMPARE(client.Boxes().Count(), 1);
    QVERIFY(client.Boxes().Last().text.contains(QStringLiteral("Do you trust this server's certificate?")));
    QVERIFY(client.Boxes().Last().text.contains(fingerprint));
    QCOMPARE(client.Boxes().Last().buttons, MessageButtons::YesNoDefaultNo);
    QVERIFY(!OpenSettingsRoot()->contains(key));
    // Refused, it is not tried (and asked) again by itself.
    QVERIFY(!client.Doc().IsReconnecting());

    // The user says Yes: the fingerprint is remembered.
    client.Boxes().QueueAnswer(MessageAnswer::Yes);
    QVERIFY(Reconnect(client));
    QCOMPARE(client.Boxes().Count(), 2);
    QCOMPARE(OpenSettingsRoot()->value(key).toString(), fingerprint);

    // Remembered: no question.
    QVERIFY(Reconnect(client));
    QCOMPARE(client.Boxes().Count(), 2);

    // Another certificate was remembered: the change is shown with both
    // fingerprints and refused by default.
    const QString old = QStringLiteral("AB:") + fingerprint.mid(3);
    OpenSettingsRoot()->setValue(key, old);
    QVERIFY(!Reconnect(client));
    QCOMPARE(client.Boxes().Count(), 3);
    const CMessageBoxRequest changed = client.Boxes().Last();
    QVERIFY(changed.text.startsWith(QStringLiteral("The server's certificate has changed")));
    QVERIFY(changed.text.contains(old) && changed.text.contains(fingerprint));
    QCOMPARE(changed.buttons, MessageButtons::YesNoDefaultNo);
    QCOMPARE(OpenSettingsRoot()->value(key).toString(), old);

    // Nothing remembered and the user says No: not connected, nothing kept.
    OpenSettingsRoot()->remove(key);
    client.Boxes().QueueAnswer(MessageAnswer::No);
    QVERIFY(!Reconnect(client));
    QCOMPARE(client.Boxes().Count(), 4);
    QVERIFY(!OpenSettingsRoot()->contains(key));

    // A pinned fingerprint, lower case with colons, connects without asking;
    // any other refuses and says so with both; a value that is no
    // fingerprint is told as a configuration error, and nothing connects.
    {
        CConfigDir pinned;
        const QByteArray pin =
            CConfigDir::ConfigText("127.0.0.1", server.Port()) + "USE_TLS=1\nTLS_FINGERPRINT=";
        QVERIFY(pinned.WriteConfig(pin + fingerprint.toLower().toLatin1() + "\n"));
        QVERIFY(Reconnect(client));
        QVERIFY(pinned.WriteConfig(pin + old.toLatin1() + "\n"));
        QVERIFY(!Reconnect(client));
        QCOMPARE(client.Boxes().Count(), 5);
        const CMessageBoxRequest mismatch = client.Boxes().Last();
        QVERIFY(mismatch.text.startsWith(QStringLiteral("The server's certificate has changed")));
        QVERIFY(mismatch.text.contains(old) && mismatch.text.contains(fingerprint));
        QCOMPARE(mismatch.icon, MessageIcon::Stop);
        QVERIFY(pinned.WriteConfig(pin + "3A:1F:C4\n"));
        QVERIFY(!Reconnect(client));
        QCOMPARE(client.Boxes().Count(), 6);
        QVERIFY(client.Boxes().Last().text.contains(
            QStringLiteral("TLS_FINGERPRINT=3A:1F:C4 is not a SHA-256 fingerprint")));
        QCOMPARE(client.Boxes().Last().icon, MessageIcon::Stop);
    }

    // Trusted again, and a user registers and logs in over TLS.
    client.Boxes().QueueAnswer(MessageAnswer::Yes);
    QVERIFY(Reconnect(client));
    QCOMPARE(client.Boxes().Count(), 7);
    QVERIFY(client.RegisterAndLogin("anna", "secret1"));
    QVERIFY(client.Doc().IsLoggedIn());
}

void TestE2eTls::TlsToClearPortFails()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CClientStack client(server.Port(), "USE_TLS=1\n");
    QVERIFY(!client.Doc().IsConnected());
    QVERIFY(server.IsRunning());
    // The server answered, but not in TLS: the user learns what to change.
    QCOMPARE(client.Boxes().Count(), 1);
    QVERIFY2(client.Boxes().Last().text.contains(QStringLiteral("does not answer in TLS")) &&
                 client.Boxes().Last().text.contains(QStringLiteral("remove USE_TLS=1 from config.txt")),
             qPrintable(client.Boxes().Last().text));
}

void TestE2eTls::ClearTextToTlsPortSaysWhatToSet()
{
    QTemporaryDir dir;
    const CTestCertificate tls = WriteTestCertificate(dir.path().toStdString());
    CServerProcess server({"--tls-cert", tls.cert, "--tls-key", tls.key});
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    // Clear text connects (the server waits for a TLS hello); the first
    // record gets a TLS alert back, and the connection ends.
    CClientStack client(server.Port());
    QVERIFY(client.Doc().IsConnected());
    CNetMessage login;
    login.sender = "anna";
    login.command = "L";
    QVERIFY(client.Doc().Send(login));
    QVERIFY(client.Boxes().WaitForCount(1));
    QVERIFY2(client.Boxes().Last().text.startsWith(QStringLiteral("Connection to server lost\n\n")) &&
                 client.Boxes().Last().text.contains(QStringLiteral("set USE_TLS=1 in config.txt")),
             qPrintable(client.Boxes().Last().text));
}

QTEST_MAIN(TestE2eTls)
#include "tst_e2e_tls.moc"
