// Access tokens from a stored OAuth sign-in: refreshed from the refresh token when the one in memory has expired or
// will within a minute (RFC 6749 6), so that a long run goes on without the user.
#pragma once

#include "oauth/AccessTokenSource.h"
#include "oauth/OAuthProvider.h"
#include "oauth/OAuthTokens.h"

#include <functional>

class TOAuthAccess : public TAccessTokenSource {
public:
    // refreshToken is the one kept in the keyring (or in the user's protected file); user names the account in
    // messages.
    TOAuthAccess(TOAuthProvider provider, QString user, QByteArray refreshToken);

    // Takes the tokens of a sign-in that just finished, so the first login needs no refresh.
    void SetTokens(const TOAuthTokens& tokens);
    // Seconds to wait for the token endpoint (30 unless set).
    void SetTimeout(int ms) { FTimeoutMs = ms; }

    // Called when the provider issued a new refresh token with a refresh (rotation): the caller stores it in
    // place of the old one, which may stop working.
    std::function<void(TOAuthAccess& sender, const QByteArray& refreshToken)> OnRefreshTokenChanged;

protected:
    QByteArray Take(bool fresh) override;

private:
    void Refresh();

    TOAuthProvider FProvider;
    QString FUser;
    TOAuthTokens FTokens;
    int FTimeoutMs = 30000;
};
