// quorvel-send --sign-in: the browser sign-in of the saved OAuth login, kept in the user's own token file.
#include "tools/SendSignIn.h"

#include "mailing/MailingLogin.h"
#include "mailing/PasswordStore.h"
#include "oauth/OAuthError.h"
#include "oauth/OAuthSignIn.h"
#include "oauth/RefreshTokenFile.h"

#include <QEventLoop>

#include <cstdio>

namespace {

void Say(FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

} // namespace

// Signs in through the browser and keeps the refresh token in path, for runs without a keyring.
int SendSignIn(TMailingJob job, const QString& path) {
    if (job.Login != TMailingJob::OAuthLogin) {
        Say(stderr, QStringLiteral("The mailing's login is not OAuth 2.0: choose it in the Security dialog first."));
        return 2;
    }
    QString ignored;
    if (job.OAuthClientSecret.isEmpty())
        PasswordStore::Read(MailingLogin::ClientSecretKey(job), job.OAuthClientSecret, ignored); // most have none
    if (const QString problem = job.Provider().Problem(); !problem.isEmpty()) {
        Say(stderr, problem);
        return 2;
    }
    TOAuthSignIn signIn(job.Provider(), job.UserName);
    TOAuthSignIn::TResult result;
    QEventLoop loop;
    signIn.OnFinished = [&](TOAuthSignIn&, const TOAuthSignIn::TResult& outcome) {
        result = outcome;
        loop.quit();
    };
    signIn.Start();
    if (signIn.Running() && !signIn.BrowserOpened())
        Say(stdout, QStringLiteral("Open this address in a browser to sign in: ") + signIn.Address().toString());
    loop.exec();
    if (!result.Ok) {
        Say(stderr, result.Message);
        return 4;
    }
    if (result.Tokens.RefreshToken.isEmpty()) {
        Say(stderr, QStringLiteral("The provider gave no refresh token, so the sign-in cannot be kept; add "
                                   "offline_access to the scope."));
        return 4;
    }
    try {
        RefreshTokenFile::Write(path, result.Tokens.RefreshToken);
    } catch (const EOAuthError& error) {
        Say(stderr, error.Message());
        return 2;
    }
    Say(stdout, result.Message + QStringLiteral(" The sign-in is kept in ") + path);
    return 0;
}
