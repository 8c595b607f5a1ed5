// Received bytes handed out in arrival order.
#include "net/ReceiveBuffer.h"

#include <algorithm>
#include <cstring>

int TReceiveBuffer::Take(void* target, int len) {
    const int n = std::clamp(len, 0, Count());
    if (n > 0) {
        std::memcpy(target, FData + FStart, static_cast<size_t>(n));
        FStart += n;
    }
    return n;
}

void TReceiveBuffer::Filled(int count) {
    FStart = 0;
    FEnd = std::clamp(count, 0, BlockSize);
}

void TReceiveBuffer::Clear() {
    FStart = 0;
    FEnd = 0;
}
