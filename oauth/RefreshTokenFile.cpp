// Reading and writing the token file with the permission checks ssh applies to its private keys.
#include "oauth/RefreshTokenFile.h"

#include "framework/core/FileTrust.h"
#include "oauth/OAuthError.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace RefreshTokenFile {

namespace {

constexpr QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions Others =
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;

// A folder others can change lets them swap the token file for one of theirs.
void CheckFolder(const QString& path) {
    const QString problem =
        FileTrust::ChangeableByOthers(QFileInfo(path).absolutePath(), QStringLiteral("The folder of the token file"));
    if (!problem.isEmpty())
        throw EOAuthError(EOAuthError::TKind::Failed, problem);
}

} // namespace

QByteArray Read(const QString& path) {
    using TKind = EOAuthError::TKind;
    CheckFolder(path);
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
    const auto failed = [&path](const QString& reason) {
        return EOAuthError(EOAuthError::TKind::Failed,
                           QStringLiteral("The token file %1 cannot be written: %2").arg(path, reason));
    };
    CheckFolder(path);
    // The name is replaced, never written through: a link planted there would hand the token to its target.
    if (QFileInfo(path).isSymLink())
        throw failed(QStringLiteral("it is a symbolic link; remove the link and sign in again"));
    // A new file beside it, made by this program alone and readable by its owner only, then renamed over it.
    const QFileInfo info(path);
    QTemporaryFile file(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    if (!file.open() || !file.setPermissions(OwnerOnly) || file.write(token + '\n') != token.size() + 1 ||
        !file.flush())
        throw failed(file.errorString());
#ifdef Q_OS_UNIX
    if (::fsync(file.handle()) != 0 ||
        ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        throw failed(QString::fromLocal8Bit(std::strerror(errno)));
    file.setAutoRemove(false);
#else
    if (!file.rename(path))
        throw failed(file.errorString());
    file.setAutoRemove(false);
#endif
}

} // namespace RefreshTokenFile
