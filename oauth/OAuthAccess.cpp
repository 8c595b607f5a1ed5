// The refresh grant, and the sentences for a refresh that fails.
#include "oauth/OAuthAccess.h"

#include "oauth/OAuthError.h"
#include "oauth/TokenEndpoint.h"

namespace {

// A token that expires this soon is not given to a login: the connection, its TLS handshake and EHLO come first.
constexpr int MarginSeconds = 60;

} // namespace

TOAuthAccess::TOAuthAccess(TOAuthProvider provider, QString user, QByteArray refreshToken)
    : FProvider(std::move(provider)), FUser(std::move(user).trimmed()) {
    FTokens.RefreshToken = std::move(refreshToken);
}

void TOAuthAccess::SetTokens(const TOAuthTokens& tokens) {
    const QByteArray kept = FTokens.RefreshToken;
    FTokens = tokens;
    if (FTokens.RefreshToken.isEmpty())
        FTokens.RefreshToken = kept;
}

QByteArray TOAuthAccess::Take(bool fresh) {
    const bool expiring =
        FTokens.Expires.isValid() && QDateTime::currentDateTimeUtc().addSecs(MarginSeconds) >= FTokens.Expires;
    if (fresh || expiring || FTokens.AccessToken.isEmpty())
        Refresh();
    return FTokens.AccessToken;
}

void TOAuthAccess::Refresh() {
    FTokens.AccessToken.clear();
    const QString account = FUser.isEmpty() ? QStringLiteral("this account") : FUser;
    if (FTokens.RefreshToken.isEmpty())
        throw EOAuthError(EOAuthError::TKind::SignInAgain,
                          QStringLiteral("There is no stored sign-in for %1; sign in again.").arg(account));
    if (const QString problem = EndpointProblem(FProvider.TokenUrl, QStringLiteral("token")); !problem.isEmpty())
        throw EOAuthError(EOAuthError::TKind::Failed, problem);
    TTokenEndpoint::TForm form{{QStringLiteral("grant_type"), "refresh_token"},
                               {QStringLiteral("refresh_token"), FTokens.RefreshToken},
                               {QStringLiteral("client_id"), FProvider.ClientId.trimmed().toUtf8()},
                               {QStringLiteral("scope"), FProvider.Scope.toUtf8()}};
    if (!FProvider.ClientSecret.isEmpty())
        form.emplace_back(QStringLiteral("client_secret"), FProvider.ClientSecret.toUtf8());
    TTokenEndpoint endpoint(FProvider.TokenUrl);
    const TTokenEndpoint::TReply reply = endpoint.PostAndWait(form, FTimeoutMs);
    if (!reply.Ok) {
        // invalid_grant: the refresh token expired, was revoked or the password changed (RFC 6749 5.2). No retry
        // can help, only a new sign-in.
        if (reply.Error == QLatin1String("invalid_grant"))
            throw EOAuthError(EOAuthError::TKind::SignInAgain,
                              QStringLiteral("The provider no longer accepts the stored sign-in for %1: %2. Sign in "
                                             "again.")
                                  .arg(account, reply.Reason()));
        if (!reply.Error.isEmpty())
            throw EOAuthError(
                EOAuthError::TKind::Failed,
                QStringLiteral("The provider refused a new access token for %1: %2").arg(account, reply.Reason()));
        throw EOAuthError(
            EOAuthError::TKind::Failed,
            QStringLiteral("No new access token could be had from the token endpoint: %1").arg(reply.Transport));
    }
    const bool rotated = !reply.Tokens.RefreshToken.isEmpty() && reply.Tokens.RefreshToken != FTokens.RefreshToken;
    SetTokens(reply.Tokens);
    if (rotated && OnRefreshTokenChanged)
        OnRefreshTokenChanged(*this, FTokens.RefreshToken);
}
