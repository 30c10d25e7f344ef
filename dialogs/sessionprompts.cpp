#include "sessionprompts.h"

#include "config.h"
#include "messagebox.h"
#include "palaverdoc.h"

#include <QSettings>

namespace {

// Asks about a server certificate that did not verify, with No as the
// default: a Return typed for another window must not trust it. A trusted
// fingerprint is remembered per host and port, and is then accepted without
// a word; a different certificate for the same server is asked about again. One that does not match the
// fingerprint pinned in config.txt is refused, and the user only told.
bool AskTrustCertificate(const CCertificateQuestion& question)
{
    const QString server = QStringLiteral("%1:%2").arg(question.host).arg(question.port);
    if (!question.pinned.isEmpty()) {
        ShowMessageBox(QStringLiteral("The server's certificate has changed\n\nServer: %1\n"
                                      "Pinned fingerprint (SHA-256, TLS_FINGERPRINT in config.txt):\n%2\n"
                                      "New fingerprint (SHA-256):\n%3\n\n"
                                      "The connection is refused.")
                           .arg(server, question.pinned, question.fingerprint),
                       MessageButtons::Ok, MessageIcon::Stop);
        return false;
    }
    const QString key = QStringLiteral("Settings/Server/%1:%2").arg(question.host).arg(question.port);
    const QString remembered = OpenSettingsRoot()->value(key).toString();
    if (!remembered.isEmpty() && NormalizeFingerprint(remembered.toStdString()) ==
                                     NormalizeFingerprint(question.fingerprint.toStdString()))
        return true;
    MessageAnswer answer;
    if (remembered.isEmpty()) {
        answer =
            ShowMessageBox(QStringLiteral("The certificate of the server %1 could not be verified:\n%2\n\n"
                                          "SHA-256 fingerprint:\n%3\n\n"
                                          "Do you trust this server's certificate?")
                               .arg(server, question.problems, question.fingerprint),
                           MessageButtons::YesNoDefaultNo, MessageIcon::Question);
    } else {
        answer = ShowMessageBox(QStringLiteral("The server's certificate has changed\n\nServer: %1\n"
                                               "Trusted fingerprint (SHA-256):\n%2\n"
                                               "New fingerprint (SHA-256):\n%3\n\n"
                                               "Do you trust the new certificate?")
                                    .arg(server, remembered, question.fingerprint),
                                MessageButtons::YesNoDefaultNo, MessageIcon::Stop);
    }
    if (answer != MessageAnswer::Yes)
        return false;
    OpenSettingsRoot()->setValue(key, question.fingerprint);
    return true;
}

} // namespace

void ConnectSessionPrompts(CPalaverDoc& doc)
{
    // A direct connection: the box runs inside the handler that asked for
    // it, and records that come meanwhile are dispatched inside its loop.
    QObject::connect(&doc, &CPalaverDoc::MessageBoxWanted, &doc, [](const QString& text, NoticeKind kind) {
        ShowMessageBox(text, MessageButtons::Ok,
                       kind == NoticeKind::Error ? MessageIcon::Stop : MessageIcon::Exclamation);
    });
    QObject::connect(&doc, &CPalaverDoc::QuietNoticeWanted, &doc, [](const QString& text, NoticeKind kind) {
        ShowQuietMessageBox(text, kind == NoticeKind::Error ? MessageIcon::Stop : MessageIcon::Exclamation);
    });
    QObject::connect(&doc, &CPalaverDoc::NoticesOutdated, &doc, &CloseQuietMessageBoxes);
    doc.Connection().SetCertificateQuestion(&AskTrustCertificate);
}
