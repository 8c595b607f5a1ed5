// The bytes of one platform receive that a socket's readers have not taken yet.
#pragma once

class TReceiveBuffer {
public:
    // Enough for several replies of a command protocol in one receive.
    static constexpr int BlockSize = 4096;

    int Count() const { return FEnd - FStart; }
    bool Empty() const { return FStart == FEnd; }
    // The oldest byte, which leaves the buffer; only when not empty.
    unsigned char TakeByte() { return static_cast<unsigned char>(FData[FStart++]); }
    // Moves up to len of the oldest bytes to target; returns how many.
    int Take(void* target, int len);
    // The whole block, for a receive into the empty buffer; Filled tells how much it got.
    char* Space() { return FData; }
    void Filled(int count);
    void Clear();

private:
    char FData[BlockSize] = {};
    int FStart = 0;
    int FEnd = 0;
};
