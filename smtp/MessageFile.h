// A file a message carries, opened once and read through that descriptor: what was checked is what goes out,
// however the name is changed afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TMessageFile {
public:
    ~TMessageFile();
    TMessageFile(const TMessageFile&) = delete;
    TMessageFile& operator=(const TMessageFile&) = delete;

    // A file the user chose by its path (symlinks followed). Null with the reason in problem when it cannot be
    // opened or is no regular file on an ordinary file system (a folder, a pipe, a device, /proc, /sys); errno is
    // ENOENT when it is not there. The open never waits.
    static std::shared_ptr<const TMessageFile> Open(const std::string& path, std::string& problem);
    // name inside folder (subfolders allowed), no link leading out of it, a regular file on an ordinary file
    // system; name is what a record gave and is checked before anything is opened. Null with problem set in the
    // user's words ("attachment outside the attachment folder: ../x"); refused tells a name that is refused from
    // one that is not there or cannot be read.
    static std::shared_ptr<const TMessageFile> OpenInFolder(const std::string& folder, const std::string& name,
                                                            std::string& problem, bool& refused);
    // Why a record's name cannot name a file inside the folder; empty when it can.
    static std::string NameProblem(const std::string& name);
    // Resolve by the component walk older kernels get (no link followed at all), for tests.
    static bool ForceWalk;

    // The size when it was opened.
    uint64_t Size() const { return FSize; }
    // Up to count bytes at offset; the number read (0 at the end), -1 on error. Never moves a shared position,
    // so a message can be read twice, and by several connections at once.
    long long ReadAt(uint64_t offset, void* buffer, size_t count) const;

private:
    explicit TMessageFile(int fd) : FFd(fd) {}
    // Takes fd over: null with the reason in problem when it is no regular file on an ordinary file system.
    static std::shared_ptr<const TMessageFile> Checked(int fd, std::string& problem);

    int FFd = -1;
    uint64_t FSize = 0;
};
