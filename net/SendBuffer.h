// One fixed-size block of a socket's send chain.
#pragma once

#include <memory>

class TBuffer {
public:
    static constexpr int BlockSize = 1514;

    TBuffer();
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Appends up to len bytes at the write position; returns how many fitted.
    int Write(const void* data, int len);
    // The first pending byte and the number pending; nullptr and 0 when nothing is pending.
    const char* Peek(int& len) const;
    // Marks up to len pending bytes as sent; a fully drained block is writable from its start again.
    int Remove(int len);

    int Capacity() const { return FCapacity; }
    int WritePos() const { return FWritePos; }
    int ReadPos() const { return FReadPos; }

private:
    std::unique_ptr<char[]> FData;
    int FCapacity;
    int FWritePos = 0;
    int FReadPos = 0;
};
