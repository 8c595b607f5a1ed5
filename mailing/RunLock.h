// The lock that keeps two runs (the window, quorvel-send) off one delivery ledger. An advisory lock on a small
// file holding the holder's process, program and host: the kernel drops it when the holder dies, so a crash
// leaves no stale lock behind, and a program of an older version that locks the same file is kept out too.
#pragma once

#include "table/engine/FileHandle.h"

#include <QString>

class TRunLock {
public:
    // Who holds a lock that could not be taken.
    struct THolder {
        qint64 Pid = 0;
        QString Program;
        QString Host;
    };

    explicit TRunLock(QString path) : FPath(std::move(path)) {}
    ~TRunLock();
    TRunLock(const TRunLock&) = delete;
    TRunLock& operator=(const TRunLock&) = delete;

    // True once held. False with Busy() when another process holds it (Holder() names it), with Problem() when
    // the name holds something that is not the program's lock file (a link, another user's file, a file with
    // other names or content: never written to), or with neither when the file cannot be made at all.
    bool TryLock();
    bool Busy() const { return FBusy; }
    const QString& Problem() const { return FProblem; }
    const THolder& Holder() const { return FHolder; }

private:
    void ReadHolder(int fd);

    QString FPath;
    TFileHandle FFile;
    bool FBusy = false;
    QString FProblem;
    THolder FHolder;
};
