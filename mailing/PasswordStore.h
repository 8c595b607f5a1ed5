// Passwords of SMTP logins in the desktop's keyring (the Secret Service, or KWallet), never in the settings file.
#pragma once

#include <QString>

namespace PasswordStore {

// The entry of one login: the user name at the server.
QString Key(const QString& userName, const QString& host);

// Each call waits for the keyring's answer (a short nested event loop). False with error in the user's words when
// no keyring answers or it refuses; Read also gives false with an empty error when the keyring holds no entry.
bool Read(const QString& key, QString& password, QString& error);
bool Write(const QString& key, const QString& password, QString& error);
// Forgetting an entry that is not there is no failure.
bool Remove(const QString& key, QString& error);

// The error of every call once no keyring answered on the session bus: then the keyring is not asked again.
extern const QString NoKeyringText;
bool NoKeyring();

} // namespace PasswordStore
