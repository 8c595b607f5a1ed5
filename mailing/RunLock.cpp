#include "mailing/RunLock.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SameFile(int fd, const QByteArray& path) {
    struct stat open {};
    struct stat named {};
    return fstat(fd, &open) == 0 && stat(path.constData(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
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
    // A holder that releases removes the file; a lock taken on a file removed meanwhile is taken again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        TFileHandle file(open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!file.IsOpen())
            return false;
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
