// What a token endpoint hands out. The tokens are secrets: never put them into a message, a log or a file
// other than the keyring.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

struct TOAuthTokens {
    QByteArray AccessToken;
    QByteArray RefreshToken; // empty when the provider issued none
    QDateTime Expires;       // invalid when the provider did not say
    QString Account;         // the mailbox from the id_token, empty without one
};
