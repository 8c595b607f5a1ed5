// Token sources for the SMTP login, and where their secrets are kept.
#include "mailing/MailingLogin.h"

#include "mailing/PasswordStore.h"
#include "oauth/OAuthAccess.h"
#include "oauth/OAuthError.h"
#include "oauth/RefreshTokenFile.h"
#include "oauth/TokenCommand.h"
#include "smtp/SmtpClient.h"

namespace MailingLogin {

QString RefreshTokenKey(const TMailingJob& job) {
    return QStringLiteral("OAuth sign-in of %1 (%2)").arg(job.UserName.trimmed(), job.OAuthClientId.trimmed());
}

QString ClientSecretKey(const TMailingJob& job) {
    return QStringLiteral("OAuth client secret of %1").arg(job.OAuthClientId.trimmed());
}

QString Prepare(TMailingJob& job, const QString& tokenFile) {
    if (job.TokenSource || job.Login == TMailingJob::PasswordLogin)
        return {};
    if (job.UserName.trimmed().isEmpty())
        return QStringLiteral("Enter the mailbox address as the user name of the login.");
    if (job.Login == TMailingJob::CommandLogin) {
        if (job.OAuthTokenCommand.trimmed().isEmpty())
            return QStringLiteral("Enter the command that prints the access token.");
        job.TokenSource = std::make_shared<TTokenCommand>(job.OAuthTokenCommand);
        return {};
    }
    QString error;
    if (job.OAuthClientSecret.isEmpty())
        PasswordStore::Read(ClientSecretKey(job), job.OAuthClientSecret, error); // most registrations have none
    const TOAuthProvider provider = job.Provider();
    if (const QString problem = provider.Problem(); !problem.isEmpty())
        return problem;
    QByteArray refreshToken;
    if (!tokenFile.isEmpty()) {
        try {
            refreshToken = RefreshTokenFile::Read(tokenFile);
        } catch (const EOAuthError& failure) {
            return failure.Message();
        }
    } else {
        QString stored;
        // No stored sign-in (or no keyring to keep one): the window signs in at Start!.
        if (!PasswordStore::Read(RefreshTokenKey(job), stored, error))
            return error.isEmpty() || error == PasswordStore::NoKeyringText ? QString() : error;
        refreshToken = stored.toUtf8();
    }
    auto access = std::make_shared<TOAuthAccess>(provider, job.UserName, refreshToken);
    const QString key = RefreshTokenKey(job);
    access->OnRefreshTokenChanged = [tokenFile, key](TOAuthAccess&, const QByteArray& token) {
        // The provider may stop taking the old token: the new one replaces it where it came from.
        QString ignored;
        if (!tokenFile.isEmpty())
            RefreshTokenFile::Write(tokenFile, token);
        else
            PasswordStore::Write(key, QString::fromUtf8(token), ignored);
    };
    job.TokenSource = access;
    return {};
}

void Install(TSmtpClient& client, const TMailingJob& job) {
    client.OnTokenRejected = nullptr;
    if (job.Login == TMailingJob::PasswordLogin) {
        client.OnAccessToken = nullptr;
        return;
    }
    std::shared_ptr<TAccessTokenSource> source = job.TokenSource;
    const QString user = job.UserName.trimmed();
    client.OnAccessToken = [source, user](TSmtpClient*, std::string& token, std::string& error) {
        if (!source) {
            error = QStringLiteral("There is no stored sign-in for %1; sign in again.").arg(user).toStdString();
            return false;
        }
        try {
            token = source->AccessToken().toStdString();
            return true;
        } catch (const EOAuthError& failure) {
            error = failure.what();
            return false;
        }
    };
    if (source)
        client.OnTokenRejected = [source](TSmtpClient*) { return source->Rejected(); };
}

} // namespace MailingLogin
