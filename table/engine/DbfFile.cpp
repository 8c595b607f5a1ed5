// One open .dbf file: validated layout, buffered record reads, record writes and crash-safe appends.
#include "table/engine/DbfFile.h"

#include "table/engine/FieldCodec.h"
#include "table/engine/FormatError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>

namespace {

// About 256 KiB of records per read, at least one record.
constexpr std::size_t CacheBytes = 256 * 1024;

std::string OpenFailure(int error) {
    switch (error) {
    case ENOENT:
        return "the file does not exist";
    case EACCES:
    case EPERM:
        return "no permission to open the file";
    case EISDIR:
        return "this is a folder or a device, not a table file";
    case EWOULDBLOCK:
        return "the table is opened exclusively by another program";
    default:
        return std::strerror(error);
    }
}

} // namespace

TDbfFile::TDbfFile(const std::string& path, int mode) : FWritable(mode != 1) {
    if (!FFile.Open(path, FWritable))
        throw EFormatError(OpenFailure(errno));
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

bool TDbfFile::LockHeader(bool lock) const {
    struct flock range {};
    range.l_type = lock ? F_WRLCK : F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 32;
    // Held only for the few writes of one append, so waiting for another appender is brief.
    while (::fcntl(FFile.Fd(), F_SETLKW, &range) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

std::uint32_t TDbfFile::Append(std::string_view image) {
    if (!FWritable || image.size() != FLayout.RecordLength) {
        FLastError = "the table is open for reading only";
        return 0;
    }
    if (!LockHeader(true)) {
        FLastError = std::string("the table cannot be locked: ") + std::strerror(errno);
        return 0;
    }
    // Another program may have appended since we last looked: the count on disk decides.
    unsigned char count[4];
    std::uint32_t records = FLayout.RecordCount;
    if (FFile.ReadAt(4, count, 4) == 4)
        records = std::max<std::uint32_t>(records, count[0] | count[1] << 8 | count[2] << 16 |
                                                       static_cast<std::uint32_t>(count[3]) << 24);
    std::string tail(image);
    tail.push_back('\x1A');
    const std::uint64_t at = FLayout.DataOffset + static_cast<std::uint64_t>(records) * FLayout.RecordLength;
    const std::uint32_t next = records + 1;
    const std::array<unsigned char, 3> today = HeaderDateToday();
    const unsigned char header[7] = {today[0],
                                     today[1],
                                     today[2],
                                     static_cast<unsigned char>(next & 0xFF),
                                     static_cast<unsigned char>(next >> 8 & 0xFF),
                                     static_cast<unsigned char>(next >> 16 & 0xFF),
                                     static_cast<unsigned char>(next >> 24 & 0xFF)};
    const bool written = FFile.WriteAt(at, tail.data(), tail.size()) && FFile.WriteAt(1, header, sizeof header);
    const int error = errno;
    LockHeader(false);
    if (!written) {
        FLastError = std::string("writing the table failed: ") + std::strerror(error);
        return 0;
    }
    FLayout.RecordCount = next;
    FCacheCount = 0;
    return next;
}

std::string TDbfFile::ReadMemo(std::string_view fieldBytes) const {
    if (!FMemo)
        return {};
    const std::optional<std::uint64_t> block = FieldCodec::MemoBlock(fieldBytes);
    if (!block)
        throw EFormatError("a memo pointer is not a number");
    return FMemo->Read(*block);
}
