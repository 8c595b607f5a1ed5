// Files a message carries, opened so that a name can only reach what it is meant to.
#include "smtp/MessageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int ReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// An open descriptor until it is handed on.
struct TFd {
    int Fd = -1;
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Release() { return std::exchange(Fd, -1); }
};

// File systems whose files are the kernel's views of processes and devices: their sizes say nothing and their
// content is the system's, never a document.
bool SystemFileSystem(int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0)
        return true;
    switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// Control characters as "?": a reason is shown and logged, a NUL would cut it.
std::string Shown(const std::string& name) {
    std::string shown = name;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return shown;
}

// The kernel resolves name inside the folder: no "..", absolute link or magic link leads out (Linux 5.6).
int OpenBeneath(int folder, const std::string& name) {
    open_how how{};
    how.flags = ReadFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how));
}

// Older kernels: component by component, following no link at all (ELOOP or ENOTDIR at a link).
int WalkBeneath(int folder, const std::string& name) {
    TFd current(::dup(folder));
    size_t start = 0;
    for (;;) {
        const size_t slash = name.find('/', start);
        const std::string part = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos)
            return ::openat(current.Fd, part.c_str(), ReadFlags | O_NOFOLLOW);
        start = slash + 1;
        if (part.empty() || part == ".")
            continue;
        const int next = ::openat(current.Fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            struct stat link {};
            if (errno == ENOTDIR && ::fstatat(current.Fd, part.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(link.st_mode))
                errno = ELOOP;
            return -1;
        }
        TFd previous(std::exchange(current.Fd, next));
    }
}

} // namespace

bool TMessageFile::ForceWalk = false;

TMessageFile::~TMessageFile() {
    if (FFd >= 0)
        ::close(FFd);
}

std::shared_ptr<const TMessageFile> TMessageFile::Checked(int fd, std::string& problem) {
    auto file = std::shared_ptr<TMessageFile>(new TMessageFile(fd));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || SystemFileSystem(fd)) {
        problem = "not an ordinary file";
        return nullptr;
    }
    file->FSize = static_cast<uint64_t>(info.st_size);
    return file;
}

std::shared_ptr<const TMessageFile> TMessageFile::Open(const std::string& path, std::string& problem) {
    const int fd = ::open(path.c_str(), ReadFlags);
    if (fd < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    return Checked(fd, problem);
}

std::string TMessageFile::NameProblem(const std::string& name) {
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return "control character in the attachment name: " + Shown(name);
    bool outside = name.starts_with('/');
    for (size_t start = 0; start <= name.size() && !outside;) {
        const size_t end = std::min(name.find('/', start), name.size());
        outside = name.compare(start, end - start, "..") == 0;
        start = end + 1;
    }
    return outside ? "attachment outside the attachment folder: " + name : std::string();
}

std::shared_ptr<const TMessageFile> TMessageFile::OpenInFolder(const std::string& folder, const std::string& name,
                                                               std::string& problem, bool& refused) {
    problem = NameProblem(name);
    refused = !problem.empty();
    if (refused)
        return nullptr;
    const TFd root(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.Fd < 0) {
        problem = "attachment folder cannot be opened: " + folder + " (" + std::strerror(errno) + ")";
        return nullptr;
    }
    int fd = ForceWalk ? -1 : OpenBeneath(root.Fd, name);
    if (ForceWalk || (fd < 0 && errno == ENOSYS))
        fd = WalkBeneath(root.Fd, name);
    if (fd < 0) {
        refused = errno == EXDEV || errno == ELOOP;
        if (refused)
            problem = "attachment outside the attachment folder: " + name;
        else if (errno == ENOENT || errno == ENOTDIR)
            problem = "attachment not found: " + name;
        else
            problem = "attachment cannot be read: " + name + " (" + std::strerror(errno) + ")";
        return nullptr;
    }
    std::shared_ptr<const TMessageFile> file = Checked(fd, problem);
    refused = !file;
    if (refused)
        problem = "attachment is " + problem + ": " + name;
    return file;
}

long long TMessageFile::ReadAt(uint64_t offset, void* buffer, size_t count) const {
    for (;;) {
        const ssize_t read = ::pread(FFd, buffer, count, static_cast<off_t>(offset));
        if (read >= 0 || errno != EINTR)
            return read;
    }
}
