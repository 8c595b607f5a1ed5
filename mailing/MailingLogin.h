// The login of a mailing when it is not a password: the OAuth 2.0 sign-in kept in the keyring (or in the user's
// own token file), or the user's token command, handed to the SMTP client as access tokens.
#pragma once

#include "mailing/MailingJob.h"

#include <QString>

class TSmtpClient;

namespace MailingLogin {

// The keyring entries of the sign-in's refresh token and of the client secret; neither is ever in the settings.
QString RefreshTokenKey(const TMailingJob& job);
QString ClientSecretKey(const TMailingJob& job);

// Makes job.TokenSource when it has none: the token command, or access from the stored refresh token (read from
// tokenFile when given, else from the keyring; a new one the provider issues goes back there). Reads the client
// secret from the keyring when none is typed. The failure in the user's words; empty when it worked, also when
// the keyring holds no sign-in (then TokenSource stays empty: sign in first).
QString Prepare(TMailingJob& job, const QString& tokenFile = QString());

// Points the client's login at job.TokenSource; without one, every login fails asking to sign in (never falls
// back to the password). A password login takes the callbacks away.
void Install(TSmtpClient& client, const TMailingJob& job);

} // namespace MailingLogin
