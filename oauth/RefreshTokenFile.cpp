// Reading and writing the token file with the permission checks ssh applies to its private keys.
#include "oauth/RefreshTokenFile.h"

#include "oauth/OAuthError.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace RefreshTokenFile {

namespace {

constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions Others =
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;

} // namespace

QByteArray Read(const QString& path) {
    using TKind = EOAuthError::TKind;
    const QFileInfo info(path);
    if (!info.exists())
        throw EOAuthError(TKind::SignInAgain, QStringLiteral("There is no token file %1; sign in again.").arg(path));
#ifdef Q_OS_UNIX
    if (info.ownerId() != ::getuid())
        throw EOAuthError(TKind::Failed,
                          QStringLiteral("The token file %1 belongs to another user; it is not used.").arg(path));
#endif
    if (info.permissions() & Others)
        throw EOAuthError(TKind::Failed, QStringLiteral("Other users can read or change the token file %1; it is not "
                                                        "used. Allow only yourself: chmod 600 %1")
                                             .arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw EOAuthError(TKind::Failed,
                          QStringLiteral("The token file %1 cannot be read: %2").arg(path, file.errorString()));
    const QByteArray token = file.readLine(64 * 1024).trimmed();
    if (token.isEmpty())
        throw EOAuthError(TKind::SignInAgain, QStringLiteral("The token file %1 is empty; sign in again.").arg(path));
    return token;
}

void Write(const QString& path, const QByteArray& token) {
    QSaveFile file(path);
    // The permissions go onto the new file before a byte is written, so the token is never readable by others.
    const bool ok = file.open(QIODevice::WriteOnly) && file.setPermissions(OwnerOnly) &&
                    file.write(token + '\n') == token.size() + 1 && file.commit();
    if (!ok)
        throw EOAuthError(EOAuthError::TKind::Failed,
                          QStringLiteral("The token file %1 cannot be written: %2").arg(path, file.errorString()));
}

} // namespace RefreshTokenFile
