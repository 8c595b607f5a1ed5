// QtKeychain's jobs, each run to its end before the call returns.
#include "mailing/PasswordStore.h"

#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace {

const QString Service = QStringLiteral("Quorvel Mailer");
// A keyring that does not answer at all must not hang the window.
constexpr int AnswerMs = 20000;

bool KeyringMissing = false;

// The session bus's words for "no Secret Service here": no service file starts one, the one that ran has gone, or
// there is no session bus at all.
bool NotRunning(const QString& text) {
    return text.contains(QLatin1String("org.freedesktop.secrets")) ||
           text.startsWith(QLatin1String("Could not connect:")) ||
           text.contains(QLatin1String("Cannot autolaunch D-Bus")) ||
           text.contains(QLatin1String("Object does not exist at path")) ||
           text.contains(QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"));
}

// Starts the job and waits for it; false when it failed, with the reason in error.
bool Finish(QKeychain::Job& job, QString& error) {
    if (KeyringMissing) {
        error = PasswordStore::NoKeyringText;
        return false;
    }
    job.setAutoDelete(false);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(AnswerMs, &loop, &QEventLoop::quit);
    job.start();
    if (!finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!finished) {
        error = QStringLiteral("The desktop keyring did not answer.");
        return false;
    }
    if (job.error() == QKeychain::NoBackendAvailable ||
        (job.error() != QKeychain::NoError && job.error() != QKeychain::EntryNotFound &&
         NotRunning(job.errorString()))) {
        KeyringMissing = true;
        error = PasswordStore::NoKeyringText;
        return false;
    }
    switch (job.error()) {
    case QKeychain::NoError:
        return true;
    case QKeychain::EntryNotFound:
        error.clear();
        return false;
    case QKeychain::NoBackendAvailable:
        error = QStringLiteral("No desktop keyring is available (%1).").arg(job.errorString());
        return false;
    case QKeychain::AccessDeniedByUser:
    case QKeychain::AccessDenied:
        error = QStringLiteral("The desktop keyring refused access (%1).").arg(job.errorString());
        return false;
    default:
        error = QStringLiteral("The desktop keyring failed: %1").arg(job.errorString());
        return false;
    }
}

} // namespace

const QString PasswordStore::NoKeyringText =
    QStringLiteral("No desktop keyring is running; the password will be asked at Start!");

bool PasswordStore::NoKeyring() {
    return KeyringMissing;
}

QString PasswordStore::Key(const QString& userName, const QString& host) {
    return userName + QLatin1Char('@') + host;
}

bool PasswordStore::Read(const QString& key, QString& password, QString& error) {
    QKeychain::ReadPasswordJob job(Service);
    job.setKey(key);
    if (!Finish(job, error))
        return false;
    password = job.textData();
    return true;
}

bool PasswordStore::Write(const QString& key, const QString& password, QString& error) {
    QKeychain::WritePasswordJob job(Service);
    job.setKey(key);
    job.setTextData(password);
    return Finish(job, error);
}

bool PasswordStore::Remove(const QString& key, QString& error) {
    QKeychain::DeletePasswordJob job(Service);
    job.setKey(key);
    return Finish(job, error) || error.isEmpty();
}
