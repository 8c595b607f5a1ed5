// The memo file beside a table (.fpt for FoxPro, .dbt for dBase): memo texts by block number.
#pragma once

#include "table/engine/DbfLayout.h"
#include "table/engine/FileHandle.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// The table path without its extension: the memo file is this with .fpt or .dbt added.
std::string MemoBasePath(const std::string& tablePath);

class TMemoFile {
public:
    TMemoFile(TFileHandle file, TMemoKind kind);

    // The memo file of the table at tablePath (same base name, .fpt or .dbt in either case);
    // nullptr when there is none: the table still opens and its memos read as empty. A memo path that is
    // a folder, a pipe, a socket or a device throws EFormatError without being opened.
    static std::unique_ptr<TMemoFile> OpenBeside(const std::string& tablePath, TMemoKind kind);

    // The memo stored at block; block 0 is no memo. A block or length past the end of the file
    // throws EFormatError.
    std::string Read(std::uint64_t block) const;

private:
    std::string ReadFpt(std::uint64_t block) const;
    std::string ReadTextFrom(std::uint64_t offset) const;
    // Where the text from offset ends: its 0x1A, or the end of the file.
    std::uint64_t TextEnd(std::uint64_t offset) const;
    std::string ReadDbt4(std::uint64_t block) const;
    std::uint32_t HeaderBlockSize() const;

    TFileHandle FFile;
    TMemoKind FKind;
    std::uint64_t FSize = 0;
    std::uint32_t FBlockSize = 512;
    // Scans for the end of dBase III texts made so far: start offset -> end offset. The memo file is read-only
    // to us while it is open.
    mutable std::map<std::uint64_t, std::uint64_t> FTextEnds;
};
