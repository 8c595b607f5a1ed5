// The one retry after a refused token, the same for every source.
#include "oauth/AccessTokenSource.h"

#include <utility>

QByteArray TAccessTokenSource::AccessToken() {
    const bool fresh = std::exchange(FRefusedOne, false);
    QByteArray token = Take(fresh);
    FTakenAfterRefusal = fresh;
    return token;
}

bool TAccessTokenSource::Rejected() {
    if (FTakenAfterRefusal)
        return false;
    FRefusedOne = true;
    return true;
}
