// Collects the fields of a new table and writes it as a FoxPro-compatible .dbf file.
#pragma once

#include "table/engine/DbfLayout.h"

#include <string>
#include <string_view>
#include <vector>

class TDbfCreator {
public:
    TDbfCreator(std::string path, int fieldCount);

    void AddField(std::string_view name, char type, int width, int decimals);
    // Writes the new file (and an empty .fpt when a memo field is defined), replacing one of the same
    // name in a single rename, so a reader sees the old table or the new one, never a half-written one.
    // memoBlockSize: 1..32 counts 512-byte units, larger values are bytes. Throws EFormatError.
    void Write(int memoBlockSize) const;

    // The bytes of the new table (header, terminator, end mark); exposed so tests can check them exactly.
    std::string TableBytes() const;

private:
    void Validate() const;
    bool HasMemo() const;

    std::string FPath;
    int FFieldCount;
    std::vector<TDbfField> FFields;
};
