// An open POSIX file descriptor with exact-count reads and writes at given offsets.
#include "table/engine/FileHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

TFileHandle::~TFileHandle() {
    Close();
}

TFileHandle::TFileHandle(TFileHandle&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
        Close();
        FFd = std::exchange(other.FFd, -1);
    }
    return *this;
}

namespace {

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a device";
}

bool Refuse(mode_t mode, std::string* refusal) {
    if (refusal)
        *refusal = KindOf(mode);
    errno = EISDIR;
    return false;
}

} // namespace

bool TFileHandle::Open(const std::string& path, bool writable, std::string* refusal) {
    Close();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        return Refuse(st.st_mode, refusal);
    // Non-blocking and without taking a terminal, in case the path was swapped for a pipe or a device
    // since the look above; the kind is checked again on what was opened.
    const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Refuse(st.st_mode, refusal);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FFd = fd;
    return true;
}

void TFileHandle::Close() {
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

std::uint64_t TFileHandle::Size() const {
    struct stat st {};
    if (FFd < 0 || ::fstat(FFd, &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

long long TFileHandle::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(FFd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
}

bool TFileHandle::WriteAt(std::uint64_t offset, const void* buffer, std::size_t count) const {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(FFd, in + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
