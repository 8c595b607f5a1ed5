#include "mailing/RunLock.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Holder lines are short: a larger file under the name was never one of ours.
constexpr off_t MaxLockFileSize = 4096;

bool SameFile(int fd, const QByteArray& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fd, &open) == 0 && lstat(path.constData(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

// The name opened without following a link: made now (created true), or an earlier lock file of this user.
int OpenLockFile(const QByteArray& path, bool& created) {
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = open(path.constData(), flags | O_CREAT | O_EXCL, 0600);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = open(path.constData(), flags);
    return fd;
}

// A file this program can have made: a regular file of the user's with no other name.
bool OwnLockFile(int fd, bool created) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1 &&
           (created || info.st_size <= MaxLockFileSize);
}

} // namespace

TRunLock::~TRunLock() {
    if (!FFile.IsOpen())
        return;
    // Removed while still held, so nobody can lock the old file in between and think it is the current one.
    unlink(FPath.toLocal8Bit().constData());
}

bool TRunLock::TryLock() {
    const QByteArray path = FPath.toLocal8Bit();
    FBusy = false;
    FProblem.clear();
    // A holder that releases removes the file; a lock taken on a file removed meanwhile is taken again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool created = false;
        TFileHandle file(OpenLockFile(path, created));
        if (!file.IsOpen() && errno != ELOOP)
            return false;
        // A link or someone else's file under the lock's name is never written through or cut short.
        if (!file.IsOpen() || !OwnLockFile(file.Fd(), created)) {
            FProblem = QStringLiteral("The lock file %1 is not one this program made (a link, another user's file "
                                      "or a file with other content); it is left as it is. Remove it if it is not "
                                      "needed, or choose another log folder.")
                           .arg(FPath);
            return false;
        }
        if (flock(file.Fd(), LOCK_EX | LOCK_NB) != 0) {
            FBusy = errno == EWOULDBLOCK;
            if (FBusy)
                ReadHolder(file.Fd());
            return false;
        }
        if (!SameFile(file.Fd(), path))
            continue;
        // The holder's lines, as lock files have them: process, program, host.
        const QByteArray info = QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                                QCoreApplication::applicationName().toUtf8() + '\n' +
                                QSysInfo::machineHostName().toUtf8() + '\n';
        if (ftruncate(file.Fd(), 0) != 0 || !file.WriteAt(0, info.constData(), static_cast<size_t>(info.size())))
            return false;
        FFile = std::move(file);
        return true;
    }
    return false;
}

void TRunLock::ReadHolder(int fd) {
    char buffer[512];
    const ssize_t got = pread(fd, buffer, sizeof buffer, 0);
    const QList<QByteArray> lines = QByteArray(buffer, got > 0 ? static_cast<int>(got) : 0).split('\n');
    FHolder.Pid = lines.value(0).toLongLong();
    FHolder.Program = QString::fromUtf8(lines.value(1));
    FHolder.Host = QString::fromUtf8(lines.value(2));
}
