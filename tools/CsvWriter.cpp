// CSV (RFC 4180) through one large buffer.
#include "tools/CsvWriter.h"

#include <cstring>

namespace {

// Eight bytes at a time: a byte of the word equals c when the word XOR c has a zero byte there.
std::uint64_t HasByte(std::uint64_t word, unsigned char c) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    const std::uint64_t x = word ^ (ones * c);
    return (x - ones) & ~x & (ones * 0x80);
}

bool Special(char c) {
    return c == ',' || c == '"' || c == '\n' || c == '\r';
}

} // namespace

TCsvWriter::TCsvWriter(std::FILE* out) : FOut(out), FBuffer(FlushAt) {}

TCsvWriter::~TCsvWriter() {
    Flush();
}

void TCsvWriter::Value(std::string_view value) {
    // Room for a separator, the value with every byte doubled, its quotes and the line end.
    char* out = Room(2 * value.size() + 4);
    if (FInLine)
        *out++ = ',';
    FInLine = true;
    if (!NeedsQuotes(value)) {
        // An empty value may have no storage at all (a null field): memcpy must not see its null pointer.
        if (!value.empty())
            std::memcpy(out, value.data(), value.size());
        FUsed = static_cast<std::size_t>(out + value.size() - FBuffer.data());
        return;
    }
    *out++ = '"';
    for (const char c : value) {
        if (c == '"')
            *out++ = '"';
        *out++ = c;
    }
    *out++ = '"';
    FUsed = static_cast<std::size_t>(out - FBuffer.data());
}

void TCsvWriter::EndLine() {
    *Room(1) = '\n';
    ++FUsed;
    FInLine = false;
}

bool TCsvWriter::Flush() {
    if (FUsed > 0 && std::fwrite(FBuffer.data(), 1, FUsed, FOut) != FUsed)
        FFailed = true;
    FUsed = 0;
    if (std::fflush(FOut) != 0)
        FFailed = true;
    return !FFailed;
}

// Where count more bytes go: the buffer is written out when it would overflow, and grows for a value larger
// than itself.
char* TCsvWriter::Room(std::size_t count) {
    if (FUsed + count > FBuffer.size()) {
        Flush();
        if (count > FBuffer.size())
            FBuffer.resize(count);
    }
    return FBuffer.data() + FUsed;
}

// Dumps spend most of their time here: the library's searches for a set of characters call memchr once per
// byte.
bool TCsvWriter::NeedsQuotes(std::string_view value) {
    const std::size_t size = value.size();
    if (size < 8) {
        for (const char c : value)
            if (Special(c))
                return true;
        return false;
    }
    // Whole words, the last one overlapping the one before it.
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, value.data() + (i + 8 <= size ? i : size - 8), 8);
        if (HasByte(word, ',') | HasByte(word, '"') | HasByte(word, '\n') | HasByte(word, '\r'))
            return true;
    }
    return false;
}
