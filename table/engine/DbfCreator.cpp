// Writes new FoxPro-compatible .dbf files: version 0x03 (0xF5 with memo), header, descriptors, 0x0D, 0x1A.
#include "table/engine/DbfCreator.h"

#include "table/engine/Endian.h"
#include "table/engine/FileHandle.h"
#include "table/engine/FormatError.h"
#include "table/engine/MemoFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The tables a program makes hold addresses: they are the user's alone, unless the folder is a group's shared one
// on purpose (set-group-ID), where the group may read and write them too.
mode_t NewFileMode(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && (info.st_mode & S_ISGID) != 0 ? 0660 : 0600;
}

// Writes bytes to path through a temporary file in the same folder and a rename; the temporary name is made
// anew, never a link or file someone left there.
void WriteReplacing(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".new" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NewFileMode(path));
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

// An exclusive lock on the table that a new one is about to replace, held until it is replaced. Every
// open of ours holds a shared lock for as long as it is open: a program still appending to the old file
// would go on writing rows into a file nobody sees any more, so the replacement is refused instead.
TFileHandle LockForReplacing(const std::string& path) {
    TFileHandle old;
    if (!old.Open(path, false))
        return old; // nothing there yet, or nothing we could open: the rename decides
    if (::flock(old.Fd(), LOCK_EX | LOCK_NB) != 0)
        throw EFormatError(errno == EWOULDBLOCK ? "the table is open in another program (or another window of this one)"
                                                : std::string("the table cannot be locked: ") + std::strerror(errno));
    return old;
}

} // namespace

TDbfCreator::TDbfCreator(std::string path, int fieldCount) : FPath(std::move(path)), FFieldCount(fieldCount) {}

void TDbfCreator::AddField(std::string_view name, char type, int width, int decimals) {
    TDbfField field;
    for (char c : name)
        field.Name.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    field.Type = type >= 'a' && type <= 'z' ? static_cast<char>(type - 'a' + 'A') : type;
    field.Meaning = FieldTypeOf(field.Type, TTableFamily::DBase);
    // Fixed widths of the fixed-size kinds, whatever the caller passed.
    field.Width = field.Meaning.FixedWidth != 0 ? field.Meaning.FixedWidth : width;
    field.Decimals = field.Meaning.Form == TFieldForm::Number ? decimals : 0;
    FFields.push_back(field);
}

bool TDbfCreator::HasMemo() const {
    for (const TDbfField& f : FFields)
        if (f.Meaning.Form == TFieldForm::Memo)
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
        const bool numeric = f.Meaning.Form == TFieldForm::Number;
        if (!f.Meaning.Creatable)
            throw EFormatError(std::string("field ") + f.Name + ": type " + f.Type + " cannot be created");
        if (f.Width < 1 || f.Width > f.Meaning.MaxWidth ||
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
    Endian::StoreLe(&bytes[8], headerLength, 2);
    int offset = 1;
    std::size_t at = 32;
    for (const TDbfField& f : FFields) {
        std::memcpy(&bytes[at], f.Name.data(), f.Name.size());
        bytes[at + 11] = f.Type;
        Endian::StoreLe(&bytes[at + 12], static_cast<std::uint32_t>(offset),
                        2); // FoxPro keeps each field's displacement
        bytes[at + 16] = static_cast<char>(f.Width);
        bytes[at + 17] = static_cast<char>(f.Decimals);
        offset += f.Width;
        at += 32;
    }
    Endian::StoreLe(&bytes[10], static_cast<std::uint32_t>(offset), 2);
    // Code page 0x03 (Windows ANSI): readers then decode our 8-bit text instead of refusing it as ASCII.
    bytes[29] = 0x03;
    bytes[headerLength - 1] = '\x0D';
    bytes[headerLength] = '\x1A';
    return bytes;
}

void TDbfCreator::Write(int memoBlockSize) const {
    const std::string table = TableBytes();
    const TFileHandle replaced = LockForReplacing(FPath);
    if (HasMemo()) {
        const std::uint32_t block = memoBlockSize <= 0    ? 64
                                    : memoBlockSize <= 32 ? memoBlockSize * 512u
                                                          : memoBlockSize;
        if (block > 65535)
            throw EFormatError("the memo block size " + std::to_string(block) + " is too large");
        std::string memo(512, '\0');
        const std::uint32_t next = (512 + block - 1) / block;
        Endian::StoreBe(&memo[0], next, 4);
        Endian::StoreBe(&memo[6], block, 2);
        WriteReplacing(MemoBasePath(FPath) + ".fpt", memo);
    }
    WriteReplacing(FPath, table);
}
