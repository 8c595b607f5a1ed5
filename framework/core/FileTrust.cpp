// Owner and mode of the files a mailing trusts.
#include "framework/core/FileTrust.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace FileTrust {

QString ChangeableByOthers(const QString& path, const QString& what) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return QStringLiteral("%1 %2 belongs to another user, who could change it: it is not used. Use a copy of "
                              "your own, or have it given to you: sudo chown $USER %2")
            .arg(what, path);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("Other users can change %1 %2: it is not used. Allow only yourself to change it: "
                              "chmod go-w %2")
            .arg(what.left(1).toLower() + what.mid(1), path);
    return {};
}

bool ReadableByOthers(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

} // namespace FileTrust
