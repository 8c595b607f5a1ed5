// Writes new FoxPro-compatible .dbf files: version 0x03 (0xF5 with memo), header, descriptors, 0x0D, 0x1A.
#include "table/engine/DbfCreator.h"

#include "table/engine/FileHandle.h"
#include "table/engine/FormatError.h"
#include "table/engine/MemoFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

void Put16(std::string& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8 & 0xFF);
}

// Writes bytes to path through a temporary file in the same folder and a rename.
void WriteReplacing(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EFormatError("cannot create " + path + ": " + std::strerror(errno));
    TFileHandle file(fd);
    const bool written = file.WriteAt(0, bytes.data(), bytes.size());
    const int error = errno;
    file.Close();
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int failure = written ? errno : error;
        ::unlink(temp.c_str());
        throw EFormatError("cannot write " + path + ": " + std::strerror(failure));
    }
}

} // namespace

TDbfCreator::TDbfCreator(std::string path, int fieldCount) : FPath(std::move(path)), FFieldCount(fieldCount) {}

void TDbfCreator::AddField(std::string_view name, char type, int width, int decimals) {
    TDbfField field;
    for (char c : name)
        field.Name.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    field.Type = type >= 'a' && type <= 'z' ? static_cast<char>(type - 'a' + 'A') : type;
    // Fixed widths of the fixed-size kinds, whatever the caller passed.
    field.Width = field.Type == 'D' ? 8 : field.Type == 'L' ? 1 : field.Type == 'M' ? 10 : width;
    field.Decimals = field.Type == 'N' || field.Type == 'F' ? decimals : 0;
    FFields.push_back(field);
}

bool TDbfCreator::HasMemo() const {
    for (const TDbfField& f : FFields)
        if (f.Type == 'M')
            return true;
    return false;
}

void TDbfCreator::Validate() const {
    if (static_cast<int>(FFields.size()) != FFieldCount)
        throw EFormatError("the table was announced with " + std::to_string(FFieldCount) + " fields but " +
                           std::to_string(FFields.size()) + " were defined");
    std::set<std::string> names;
    int length = 1;
    for (const TDbfField& f : FFields) {
        if (f.Name.empty() || f.Name.size() > 10 || f.Name.find('\0') != std::string::npos)
            throw EFormatError("the field name \"" + f.Name + "\" must have 1 to 10 characters");
        if (!names.insert(f.Name).second)
            throw EFormatError("the field name " + f.Name + " is used twice");
        const bool numeric = f.Type == 'N' || f.Type == 'F';
        if (std::string_view("CNFDLM").find(f.Type) == std::string_view::npos)
            throw EFormatError(std::string("field ") + f.Name + ": type " + f.Type + " cannot be created");
        if ((f.Type == 'C' && (f.Width < 1 || f.Width > 254)) || (numeric && (f.Width < 1 || f.Width > 20)) ||
            (numeric && (f.Decimals < 0 || (f.Decimals > 0 && f.Decimals > f.Width - 2))))
            throw EFormatError("field " + f.Name + ": width " + std::to_string(f.Width) + " or decimals " +
                               std::to_string(f.Decimals) + " out of range");
        length += f.Width;
    }
    if (length > 65535 || 33 + 32 * FFields.size() > 65535)
        throw EFormatError("the record of the new table would be too long");
}

std::string TDbfCreator::TableBytes() const {
    Validate();
    const std::size_t headerLength = 32 + 32 * FFields.size() + 1;
    std::string bytes(headerLength + 1, '\0');
    const std::array<unsigned char, 3> today = HeaderDateToday();
    bytes[0] = static_cast<char>(HasMemo() ? 0xF5 : 0x03);
    bytes[1] = static_cast<char>(today[0]);
    bytes[2] = static_cast<char>(today[1]);
    bytes[3] = static_cast<char>(today[2]);
    Put16(bytes, 8, static_cast<std::uint32_t>(headerLength));
    int offset = 1;
    std::size_t at = 32;
    for (const TDbfField& f : FFields) {
        std::memcpy(&bytes[at], f.Name.data(), f.Name.size());
        bytes[at + 11] = f.Type;
        Put16(bytes, at + 12, static_cast<std::uint32_t>(offset)); // FoxPro keeps each field's displacement
        bytes[at + 16] = static_cast<char>(f.Width);
        bytes[at + 17] = static_cast<char>(f.Decimals);
        offset += f.Width;
        at += 32;
    }
    Put16(bytes, 10, static_cast<std::uint32_t>(offset));
    // Code page 0x03 (Windows ANSI): readers then decode our 8-bit text instead of refusing it as ASCII.
    bytes[29] = 0x03;
    bytes[headerLength - 1] = '\x0D';
    bytes[headerLength] = '\x1A';
    return bytes;
}

void TDbfCreator::Write(int memoBlockSize) const {
    const std::string table = TableBytes();
    if (HasMemo()) {
        const std::uint32_t block = memoBlockSize <= 0    ? 64
                                    : memoBlockSize <= 32 ? memoBlockSize * 512u
                                                          : memoBlockSize;
        if (block > 65535)
            throw EFormatError("the memo block size " + std::to_string(block) + " is too large");
        std::string memo(512, '\0');
        const std::uint32_t next = (512 + block - 1) / block;
        memo[0] = static_cast<char>(next >> 24);
        memo[1] = static_cast<char>(next >> 16 & 0xFF);
        memo[2] = static_cast<char>(next >> 8 & 0xFF);
        memo[3] = static_cast<char>(next & 0xFF);
        memo[6] = static_cast<char>(block >> 8 & 0xFF);
        memo[7] = static_cast<char>(block & 0xFF);
        WriteReplacing(MemoBasePath(FPath) + ".fpt", memo);
    }
    WriteReplacing(FPath, table);
}
