// One open .dbf file: validated layout, buffered record reads, record writes and crash-safe appends.
#include "table/engine/DbfFile.h"

#include "table/engine/Endian.h"
#include "table/engine/FieldCodec.h"
#include "table/engine/FormatError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// About 256 KiB of records per read, at least one record.
constexpr std::size_t CacheBytes = 256 * 1024;

std::string OpenFailure(int error, const std::string& refusal = {}) {
    switch (error) {
    case ENOENT:
        return "the file does not exist";
    case EACCES:
    case EPERM:
        return "no permission to open the file";
    case EISDIR:
        return "this is " + (refusal.empty() ? std::string("a folder") : refusal) + ", not a table file";
    case EWOULDBLOCK:
        return "the table is opened exclusively by another program";
    default:
        return std::strerror(error);
    }
}

// The signal that ends a lock wait at its deadline; its handler does nothing, the interrupted wait is
// what counts.
const int DeadlineSignal = SIGRTMIN + 4;

void Interrupted(int) {}

// A timer that interrupts the calling thread's blocking calls from its deadline on, again every 50 ms
// in case the first signal came just before a call started.
class TDeadline {
public:
    explicit TDeadline(int seconds) : FEnd(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {
        static const bool installed = [] {
            struct sigaction action {};
            action.sa_handler = Interrupted; // no SA_RESTART: the wait returns EINTR
            sigemptyset(&action.sa_mask);
            return ::sigaction(DeadlineSignal, &action, nullptr) == 0;
        }();
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = DeadlineSignal;
        event._sigev_un._tid = static_cast<pid_t>(::gettid()); // glibc names no accessor for it
        FArmed = installed && ::timer_create(CLOCK_MONOTONIC, &event, &FTimer) == 0;
        if (!FArmed)
            return;
        itimerspec when{};
        when.it_value.tv_sec = seconds;
        when.it_interval.tv_nsec = 50 * 1000 * 1000;
        ::timer_settime(FTimer, 0, &when, nullptr);
    }
    ~TDeadline() {
        if (FArmed)
            ::timer_delete(FTimer);
    }
    TDeadline(const TDeadline&) = delete;
    TDeadline& operator=(const TDeadline&) = delete;

    bool Armed() const { return FArmed; }
    bool Passed() const { return std::chrono::steady_clock::now() >= FEnd; }

private:
    std::chrono::steady_clock::time_point FEnd;
    timer_t FTimer{};
    bool FArmed = false;
};

} // namespace

TDbfFile::TDbfFile(const std::string& path, int mode) : FWritable(mode != 1) {
    std::string refusal;
    if (!FFile.Open(path, FWritable, &refusal))
        throw EFormatError(OpenFailure(errno, refusal));
    // Readers and shared writers coexist; an exclusive open keeps every other program of ours out.
    if (::flock(FFile.Fd(), (mode == 2 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        throw EFormatError(OpenFailure(errno));
    ReadLayout();
    FMemo = TMemoFile::OpenBeside(path, FLayout.Memo);
}

TDbfFile::TDbfFile(TFileHandle file, bool writable) : FFile(std::move(file)), FWritable(writable) {
    ReadLayout();
}

TDbfFile::~TDbfFile() = default;

void TDbfFile::ReadLayout() {
    const std::uint64_t size = FFile.Size();
    std::string header(static_cast<std::size_t>(std::min<std::uint64_t>(size, MaxHeaderBytes)), '\0');
    const long long n = FFile.ReadAt(0, header.data(), header.size());
    if (n < 0)
        throw EFormatError(OpenFailure(errno));
    header.resize(static_cast<std::size_t>(n));
    FLayout = ParseDbfHeader(header, size);
}

std::string_view TDbfFile::Record(std::uint32_t recNo) {
    const std::size_t length = FLayout.RecordLength;
    if (recNo < 1 || recNo > FLayout.RecordCount)
        return {};
    if (recNo < FCacheFirst || recNo >= FCacheFirst + FCacheCount) {
        const std::uint32_t wanted = static_cast<std::uint32_t>(std::max<std::size_t>(1, CacheBytes / length));
        const std::uint32_t count = std::min(wanted, FLayout.RecordCount - recNo + 1);
        FCache.resize(static_cast<std::size_t>(count) * length);
        const std::uint64_t at = FLayout.DataOffset + static_cast<std::uint64_t>(recNo - 1) * length;
        const long long got = FFile.ReadAt(at, FCache.data(), FCache.size());
        // The file may have been cut short by another program since it was opened.
        const std::uint32_t whole = got > 0 ? static_cast<std::uint32_t>(static_cast<std::size_t>(got) / length) : 0;
        FCacheFirst = recNo;
        FCacheCount = whole;
        if (whole == 0) {
            FLastError =
                "record " + std::to_string(recNo) + " cannot be read: the file is shorter than its header says";
            return {};
        }
    }
    return std::string_view(FCache).substr(static_cast<std::size_t>(recNo - FCacheFirst) * length, length);
}

bool TDbfFile::WriteRecord(std::uint32_t recNo, std::string_view image) {
    if (!FWritable || recNo < 1 || recNo > FLayout.RecordCount || image.size() != FLayout.RecordLength) {
        FLastError = "the record cannot be written";
        return false;
    }
    const std::uint64_t at = FLayout.DataOffset + static_cast<std::uint64_t>(recNo - 1) * FLayout.RecordLength;
    if (!FFile.WriteAt(at, image.data(), image.size())) {
        FLastError = std::string("writing the table failed: ") + std::strerror(errno);
        return false;
    }
    if (recNo >= FCacheFirst && recNo < FCacheFirst + FCacheCount)
        FCache.replace(static_cast<std::size_t>(recNo - FCacheFirst) * image.size(), image.size(), image);
    return true;
}

// Appenders hold the lock only for the few writes of one append; a lock held longer belongs to a program
// that stopped or hangs, and waiting for it must not freeze ours past the lock timeout.
bool TDbfFile::LockHeader(bool lock) const {
    struct flock range {};
    range.l_type = lock ? F_WRLCK : F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 32;
    if (::fcntl(FFile.Fd(), F_SETLK, &range) == 0)
        return true;
    if (!lock || (errno != EACCES && errno != EAGAIN) || FLockTimeout <= 0)
        return false;
    const TDeadline deadline(FLockTimeout);
    if (!deadline.Armed())
        return false;
    while (::fcntl(FFile.Fd(), F_SETLKW, &range) != 0) {
        if (errno != EINTR)
            return false;
        if (deadline.Passed()) {
            errno = EAGAIN;
            return false;
        }
    }
    return true;
}

std::uint32_t TDbfFile::Append(std::string_view image) {
    if (!FWritable || image.size() != FLayout.RecordLength) {
        FLastError = "the table is open for reading only";
        return 0;
    }
    if (!FSoleWriter && !LockHeader(true)) {
        FLastError = errno == EAGAIN || errno == EACCES
                         ? "the table stayed locked by another program for longer than the lock timeout of " +
                               std::to_string(FLockTimeout) + " s"
                         : std::string("the table cannot be locked: ") + std::strerror(errno);
        return 0;
    }
    // Another program may have appended since we last looked: the count on disk decides.
    char count[4];
    std::uint32_t records = FLayout.RecordCount;
    if (!FSoleWriter && FFile.ReadAt(4, count, 4) == 4)
        records = std::max<std::uint32_t>(records, Endian::Le32(std::string_view(count, 4), 0));
    std::string tail(image);
    tail.push_back('\x1A');
    const std::uint64_t at = FLayout.DataOffset + static_cast<std::uint64_t>(records) * FLayout.RecordLength;
    const std::uint64_t sizeBefore = FSoleWriter ? FSize : FFile.Size();
    const std::uint32_t next = records + 1;
    const std::array<unsigned char, 3> today = HeaderDateToday();
    unsigned char header[7] = {today[0], today[1], today[2]};
    Endian::StoreLe(header + 3, next, 4);
    bool written = FFile.WriteAt(at, tail.data(), tail.size());
    int error = errno;
    if (written && !FFile.WriteAt(1, header, sizeof header)) {
        written = false;
        error = errno;
    }
    // A full disk may take part of the record: cut the file back to its last whole record and put the end
    // mark back in the byte it held before, which needs no new space.
    bool cutBack = true;
    if (!written) {
        const bool markBack =
            sizeBefore > at && ::ftruncate(FFile.Fd(), static_cast<off_t>(at + 1)) == 0 && FFile.WriteAt(at, "\x1A", 1);
        // Without the mark the records are still whole, which is what readers need.
        cutBack = markBack || ::ftruncate(FFile.Fd(), static_cast<off_t>(std::min(sizeBefore, at))) == 0;
    }
    if (!FSoleWriter)
        LockHeader(false);
    if (FSoleWriter)
        FSize = written ? std::max(sizeBefore, at + tail.size()) : FFile.Size();
    if (!written) {
        FLastError = std::string("writing the table failed: ") + std::strerror(error) +
                     (cutBack ? "" : " (and the unfinished record could not be removed)");
        return 0;
    }
    FLayout.RecordCount = next;
    FCacheCount = 0;
    return next;
}

void TDbfFile::SetSoleWriter(bool value) {
    FSoleWriter = value && FWritable;
    if (!FSoleWriter)
        return;
    // What other writers did before now counts once: the header's count and the file's size as they are.
    char count[4];
    if (FFile.ReadAt(4, count, 4) == 4)
        FLayout.RecordCount = std::max<std::uint32_t>(FLayout.RecordCount, Endian::Le32(std::string_view(count, 4), 0));
    FSize = FFile.Size();
    FCacheCount = 0;
}

std::string TDbfFile::ReadMemo(std::string_view fieldBytes) const {
    if (!FMemo)
        return {};
    const std::optional<std::uint64_t> block = FieldCodec::MemoBlock(fieldBytes);
    if (!block)
        throw EFormatError("a memo pointer is not a number");
    return FMemo->Read(*block);
}
