// The one retry after a refused token, the same for every source.
#include "oauth/AccessTokenSource.h"

#include "oauth/OAuthError.h"

#include <utility>

QByteArray TAccessTokenSource::AccessToken() {
    const bool fresh = std::exchange(FRefusedOne, false);
    QByteArray token;
    try {
        token = Take(fresh);
    } catch (const EOAuthError& failure) {
        FSignInRefused = failure.SignInAgain();
        throw;
    }
    FSignInRefused = false;
    FTakenAfterRefusal = fresh;
    return token;
}

bool TAccessTokenSource::Rejected() {
    if (FTakenAfterRefusal)
        return false;
    FRefusedOne = true;
    return true;
}
