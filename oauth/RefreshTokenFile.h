// A refresh token kept in a file, for mailings that run without a desktop session (cron), where no keyring can be
// reached. The file is the user's alone: one that others may read or change is refused.
#pragma once

#include <QByteArray>
#include <QString>

namespace RefreshTokenFile {

// The token on the file's first line; throws EOAuthError when the file is missing or empty (sign in again), or
// when it belongs to another user or others may read or change it.
QByteArray Read(const QString& path);
// Replaces the file at once (never half written) with the token, readable and writable by its owner only.
// Throws EOAuthError when it cannot.
void Write(const QString& path, const QByteArray& token);

} // namespace RefreshTokenFile
