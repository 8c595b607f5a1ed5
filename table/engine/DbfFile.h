// One open .dbf file: its validated layout, buffered record reads, record writes and crash-safe appends.
#pragma once

#include "table/engine/DbfLayout.h"
#include "table/engine/FileHandle.h"
#include "table/engine/MemoFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class TDbfFile {
public:
    // mode 0 shared read/write, 1 read-only, 2 exclusive. Throws EFormatError with a clear text when the
    // file cannot be opened or is not a table it can trust.
    TDbfFile(const std::string& path, int mode);
    // Over an already open file (no memo file, no locks); used to check bytes that come from elsewhere.
    TDbfFile(TFileHandle file, bool writable);
    ~TDbfFile();
    TDbfFile(const TDbfFile&) = delete;
    TDbfFile& operator=(const TDbfFile&) = delete;

    // Reads memos from memo (for a table opened over a file handle).
    void AttachMemo(std::unique_ptr<TMemoFile> memo) { FMemo = std::move(memo); }

    const TDbfLayout& Layout() const { return FLayout; }
    std::uint32_t RecordCount() const { return FLayout.RecordCount; }
    bool Writable() const { return FWritable; }

    // The image of record recNo (from 1), RecordLength bytes; empty when it cannot be read.
    std::string_view Record(std::uint32_t recNo);
    // Overwrites record recNo with image (RecordLength bytes).
    bool WriteRecord(std::uint32_t recNo, std::string_view image);
    // Adds image as a new last record and returns its number (0 on failure). The record and the end
    // mark are written first, the header's count and date after, under a lock on the header: a
    // process killed at any moment leaves a table that counts only whole records.
    std::uint32_t Append(std::string_view image);

    // The memo a memo field's bytes point to; empty when the table has no memo file.
    std::string ReadMemo(std::string_view fieldBytes) const;

    const std::string& LastError() const { return FLastError; }
    // How long an append waits for another program's lock on the header, in seconds (0 = not at all).
    void SetLockTimeout(int seconds) { FLockTimeout = seconds; }
    // The caller keeps every other writer away while it appends (a lock of its own around the whole job): appends
    // then take no header lock and trust the count and size they know, two writes per record instead of six calls.
    void SetSoleWriter(bool value);

private:
    void ReadLayout();
    bool LockHeader(bool lock) const;

    TFileHandle FFile;
    std::unique_ptr<TMemoFile> FMemo;
    TDbfLayout FLayout;
    bool FWritable = false;
    std::string FCache;            // whole records read in one block
    std::uint32_t FCacheFirst = 0; // record number of the first record in the cache
    std::uint32_t FCacheCount = 0;
    std::string FLastError;
    int FLockTimeout = 1;
    bool FSoleWriter = false;
    std::uint64_t FSize = 0; // the file's size, kept by a sole writer's appends
};
