// An open POSIX file descriptor with exact-count reads and writes at given offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(int fd) : FFd(fd) {}
    ~TFileHandle();
    TFileHandle(TFileHandle&& other) noexcept;
    TFileHandle& operator=(TFileHandle&& other) noexcept;
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    // Opens a regular file. Returns false with errno set; a path that is something else is refused before
    // it is opened (opening a named pipe would wait for a writer), with errno EISDIR and its kind in
    // refusal ("a folder", "a named pipe", "a socket", "a device").
    bool Open(const std::string& path, bool writable, std::string* refusal = nullptr);
    bool IsOpen() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    void Close();

    std::uint64_t Size() const;
    // Reads up to count bytes at offset; returns the number read (short only at the end of the file), -1 on error.
    long long ReadAt(std::uint64_t offset, void* buffer, std::size_t count) const;
    // Writes all count bytes at offset; false on any failure.
    bool WriteAt(std::uint64_t offset, const void* buffer, std::size_t count) const;

private:
    int FFd = -1;
};
