// One block of the send chain: bytes are appended at the end and handed out from the front, never moved.
#include "net/SendBuffer.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer() : FData(std::make_unique<char[]>(BlockSize)), FCapacity(BlockSize) {}

int TBuffer::Write(const void* data, int len) {
    const int room = FCapacity - FWritePos;
    if (room <= 0 || len <= 0)
        return 0;
    const int n = std::min(room, len);
    std::memcpy(FData.get() + FWritePos, data, static_cast<size_t>(n));
    FWritePos += n;
    return n;
}

const char* TBuffer::Peek(int& len) const {
    const int avail = FWritePos - FReadPos;
    if (avail > 0) {
        len = avail;
        return FData.get() + FReadPos;
    }
    len = 0;
    return nullptr;
}

int TBuffer::Remove(int len) {
    const int avail = FWritePos - FReadPos;
    if (avail <= 0 || len <= 0)
        return 0;
    const int n = std::min(len, avail);
    FReadPos += n;
    if (FReadPos == FWritePos) {
        FReadPos = 0;
        FWritePos = 0;
    }
    return n;
}
