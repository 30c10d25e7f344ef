#include "secretstore.h"

#include "usersettings.h"

#include <qt6keychain/keychain.h>

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>

#include <chrono>
#include <memory>

namespace {

const QString kService = QStringLiteral("Murmurly");
// The login group's mark that the password is in the keyring.
const QString kInKeyring = QStringLiteral("Settings/Login/PasswordInKeyring");
const QString kPassword = QStringLiteral("Settings/Login/Password");
// Whose password the keyring holds, to be removed once nothing is remembered.
const QString kKeyringUser = QStringLiteral("Settings/Login/KeyringUser");
constexpr std::chrono::seconds kAnswerTime{5};

// What a job ended with; a job still running when the wait ends deletes
// itself later, and its answer goes nowhere.
struct CJobResult
{
    bool finished = false;
    QKeychain::Error error = QKeychain::OtherError;
    QString text;
};

std::shared_ptr<CJobResult> Run(QKeychain::Job* job)
{
    auto result = std::make_shared<CJobResult>();
    job->setAutoDelete(true);
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [result, &loop](QKeychain::Job* done) {
        result->finished = true;
        result->error = done->error();
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
            result->text = read->textData();
        loop.quit();
    });
    QTimer::singleShot(kAnswerTime, &loop, &QEventLoop::quit);
    job->start();
    if (!result->finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    // The job may outlive the loop: its answer must not reach it.
    QObject::disconnect(job, &QKeychain::Job::finished, &loop, nullptr);
    return result;
}

// The password is in the keyring: the file keeps none.
void MarkKept(QSettings& store, const std::string& user)
{
    store.setValue(kPassword, QString());
    store.setValue(kInKeyring, 1);
    store.setValue(kKeyringUser, QString::fromStdString(user));
}

} // namespace

bool CSecretStore::Available()
{
    static const bool available = [] {
        // Without a session bus there is no keyring to ask, and no reason to
        // run a loop waiting for one.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
            (runtime.isEmpty() || !QFileInfo::exists(runtime + QStringLiteral("/bus"))))
            return false;
        // A key nobody writes: "not found" is an answer as good as any.
        auto* job = new QKeychain::ReadPasswordJob(kService);
        job->setKey(QStringLiteral("murmurly-keyring-probe"));
        const std::shared_ptr<CJobResult> result = Run(job);
        return result->finished &&
               (result->error == QKeychain::NoError || result->error == QKeychain::EntryNotFound);
    }();
    return available;
}

std::optional<std::string> CSecretStore::Read(const std::string& user)
{
    if (!Available())
        return std::nullopt;
    auto* job = new QKeychain::ReadPasswordJob(kService);
    job->setKey(QString::fromStdString(user));
    const std::shared_ptr<CJobResult> result = Run(job);
    if (!result->finished || result->error != QKeychain::NoError)
        return std::nullopt;
    return result->text.toStdString();
}

bool CSecretStore::Write(const std::string& user, const std::string& password)
{
    if (!Available())
        return false;
    auto* job = new QKeychain::WritePasswordJob(kService);
    job->setKey(QString::fromStdString(user));
    job->setTextData(QString::fromStdString(password));
    const std::shared_ptr<CJobResult> result = Run(job);
    return result->finished && result->error == QKeychain::NoError;
}

bool CSecretStore::Remove(const std::string& user)
{
    if (!Available())
        return false;
    auto* job = new QKeychain::DeletePasswordJob(kService);
    job->setKey(QString::fromStdString(user));
    const std::shared_ptr<CJobResult> result = Run(job);
    return result->finished &&
           (result->error == QKeychain::NoError || result->error == QKeychain::EntryNotFound);
}

void ReadKeptPassword(QSettings& store, CUserSettings& settings)
{
    // The keyring is asked only when a password is remembered: the bus and
    // the keyring service cost a start-up that has nothing to read there.
    if (!settings.m_nRememberLogin || settings.m_strUserName.empty())
        return;
    if (store.value(kInKeyring).toInt() != 0) {
        // Kept there: a keyring that does not answer now leaves the
        // password empty, and the login dialog asks for it.
        settings.m_strPassword = CSecretStore::Read(settings.m_strUserName).value_or(std::string());
        return;
    }
    if (!settings.m_strPassword.empty() &&
        CSecretStore::Write(settings.m_strUserName, settings.m_strPassword))
        MarkKept(store, settings.m_strUserName);
}

void KeepPassword(QSettings& store, const CUserSettings& settings)
{
    const bool remember = settings.m_nRememberLogin != 0 && !settings.m_strUserName.empty();
    if (!remember) {
        // Nothing is remembered: nothing stays in the keyring either.
        const std::string previous = store.value(kKeyringUser).toString().toStdString();
        if (!previous.empty() && CSecretStore::Remove(previous))
            store.remove(kKeyringUser);
        store.remove(kInKeyring);
        return;
    }
    if (CSecretStore::Write(settings.m_strUserName, settings.m_strPassword))
        MarkKept(store, settings.m_strUserName);
    else
        store.remove(kInKeyring);
}

QString PasswordPlace()
{
    if (CSecretStore::Available())
        return QStringLiteral("A remembered password is kept in the desktop's keyring.");
    // The file under the home folder, as the user knows it: ~/.config/...
    QString file = OpenSettingsRoot()->fileName();
    const QString home = QDir::homePath() + QLatin1Char('/');
    if (home.size() > 1 && file.startsWith(home))
        file.replace(0, home.size(), QStringLiteral("~/"));
    return QStringLiteral("A remembered password is kept in %1, readable by you only.").arg(file);
}
