// Reads memo texts from .fpt and .dbt files, checking every block number and length against the file size.
#include "table/engine/MemoFile.h"

#include "table/engine/Endian.h"
#include "table/engine/FormatError.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>

namespace {

const EFormatError PastEnd("a memo pointer lies past the end of the memo file");

// A recipient's memo is a few lines; a length beyond this is a damaged pointer, and reading it would
// take gigabytes of memory.
constexpr std::uint64_t MaxMemoBytes = 16 * 1024 * 1024;

void CheckMemoLength(std::uint64_t length) {
    if (length > MaxMemoBytes)
        throw EFormatError("a memo of " + std::to_string(length) + " bytes is larger than the 16 MiB a memo may hold");
}

std::uint32_t Be32(const unsigned char* bytes) {
    return Endian::Be32(std::string_view(reinterpret_cast<const char*>(bytes), 4), 0);
}

std::uint32_t Le32(const unsigned char* bytes) {
    return Endian::Le32(std::string_view(reinterpret_cast<const char*>(bytes), 4), 0);
}

} // namespace

std::string MemoBasePath(const std::string& tablePath) {
    const std::size_t dot = tablePath.find_last_of('.');
    const std::size_t slash = tablePath.find_last_of('/');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? tablePath.substr(0, dot)
                                                                                   : tablePath;
}

TMemoFile::TMemoFile(TFileHandle file, TMemoKind kind) : FFile(std::move(file)), FKind(kind) {
    FSize = FFile.Size();
    FBlockSize = HeaderBlockSize();
}

std::unique_ptr<TMemoFile> TMemoFile::OpenBeside(const std::string& tablePath, TMemoKind kind) {
    if (kind == TMemoKind::None)
        return nullptr;
    const std::string base = MemoBasePath(tablePath);
    const bool fpt = kind == TMemoKind::Fpt;
    for (const char* ext : fpt ? std::array{".fpt", ".FPT", ".Fpt"} : std::array{".dbt", ".DBT", ".Dbt"}) {
        TFileHandle file;
        std::string refusal;
        if (file.Open(base + ext, false, &refusal))
            return std::make_unique<TMemoFile>(std::move(file), kind);
        if (!refusal.empty())
            throw EFormatError("the memo file " + base + ext + " is " + refusal + ", not a file");
    }
    return nullptr;
}

std::uint32_t TMemoFile::HeaderBlockSize() const {
    unsigned char head[24] = {};
    if (FFile.ReadAt(0, head, sizeof head) != static_cast<long long>(sizeof head))
        return 512;
    const std::string_view bytes(reinterpret_cast<const char*>(head), sizeof head);
    if (FKind == TMemoKind::Fpt)
        return static_cast<std::uint32_t>(Endian::LoadBe(bytes.substr(6, 2)));
    if (FKind == TMemoKind::Dbt4) {
        const std::uint32_t size = Endian::Le16(bytes, 20);
        return size == 0 ? 512 : size;
    }
    return 512;
}

std::string TMemoFile::Read(std::uint64_t block) const {
    if (block == 0)
        return {};
    if (FBlockSize == 0)
        throw EFormatError("the memo file gives a block size of 0");
    switch (FKind) {
    case TMemoKind::Fpt:
        return ReadFpt(block);
    case TMemoKind::Dbt3:
        return ReadTextFrom(block * 512);
    case TMemoKind::Dbt4:
        return ReadDbt4(block);
    case TMemoKind::None:
        break;
    }
    return {};
}

std::string TMemoFile::ReadFpt(std::uint64_t block) const {
    const std::uint64_t at = block * FBlockSize;
    unsigned char head[8];
    if (at > FSize || FSize - at < sizeof head || FFile.ReadAt(at, head, sizeof head) != 8)
        throw PastEnd;
    const std::uint64_t length = Be32(head + 4);
    CheckMemoLength(length);
    if (length > FSize - at - 8)
        throw EFormatError("a memo in the memo file is longer than the file");
    std::string text(length, '\0');
    if (FFile.ReadAt(at + 8, text.data(), text.size()) != static_cast<long long>(length))
        throw PastEnd;
    return text;
}

// dBase III memos have no length: the text runs to the first 0x1A, or to the end of the file. Every scan
// is remembered, so records that share one unterminated memo, or point into it, cost one scan of the file
// together instead of one each.
std::string TMemoFile::ReadTextFrom(std::uint64_t at) const {
    if (at >= FSize)
        throw PastEnd;
    const std::uint64_t end = TextEnd(at);
    CheckMemoLength(end - at);
    std::string text(static_cast<std::size_t>(end - at), '\0');
    if (FFile.ReadAt(at, text.data(), text.size()) != static_cast<long long>(text.size()))
        throw PastEnd;
    return text;
}

std::uint64_t TMemoFile::TextEnd(std::uint64_t at) const {
    // A scan that started at or before at and went past it found no 0x1A there: its end is this text's end.
    auto known = FTextEnds.upper_bound(at);
    if (known != FTextEnds.begin() && std::prev(known)->second > at)
        return std::prev(known)->second;
    // Up to the next remembered scan, whose end this one shares when it finds no 0x1A before it.
    const std::uint64_t limit = known != FTextEnds.end() ? known->first : FSize;
    std::uint64_t end = known != FTextEnds.end() ? known->second : FSize;
    char chunk[64 * 1024];
    for (std::uint64_t pos = at; pos < limit;) {
        const long long n = FFile.ReadAt(pos, chunk, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, limit - pos)));
        if (n <= 0) {
            end = pos;
            break;
        }
        const std::size_t mark = std::string_view(chunk, static_cast<std::size_t>(n)).find('\x1A');
        if (mark != std::string_view::npos) {
            end = pos + mark;
            break;
        }
        pos += static_cast<std::uint64_t>(n);
    }
    FTextEnds[at] = end;
    return end;
}

// dBase IV memos start with FF FF 08 00 and a length that counts those 8 bytes; without that mark
// the block is read as dBase III text.
std::string TMemoFile::ReadDbt4(std::uint64_t block) const {
    const std::uint64_t at = block * FBlockSize;
    unsigned char head[8];
    if (at > FSize || FSize - at < sizeof head || FFile.ReadAt(at, head, sizeof head) != 8)
        throw PastEnd;
    if (!(head[0] == 0xFF && head[1] == 0xFF && head[2] == 0x08 && head[3] == 0x00))
        return ReadTextFrom(at);
    const std::uint64_t stored = Le32(head + 4);
    const std::uint64_t length = stored >= 8 ? stored - 8 : 0;
    CheckMemoLength(length);
    if (length > FSize - at - 8)
        throw EFormatError("a memo in the memo file is longer than the file");
    std::string text(length, '\0');
    if (FFile.ReadAt(at + 8, text.data(), text.size()) != static_cast<long long>(length))
        throw PastEnd;
    return text.substr(0, text.find('\x1A'));
}
