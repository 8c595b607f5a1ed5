// CSV (RFC 4180) through one large buffer: a value holding a comma, a quote or a line break is quoted, its
// quotes doubled; lines end in LF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

class TCsvWriter {
public:
    // Writes to out (standard output for the tool); the buffer is written out when full and at the end.
    explicit TCsvWriter(std::FILE* out);
    ~TCsvWriter();
    TCsvWriter(const TCsvWriter&) = delete;
    TCsvWriter& operator=(const TCsvWriter&) = delete;

    void Value(std::string_view value);
    void EndLine();
    // False when the output could not take what was written.
    bool Flush();

private:
    static constexpr std::size_t FlushAt = 1 << 20;

    char* Room(std::size_t count);
    static bool NeedsQuotes(std::string_view value);

    std::FILE* FOut;
    std::vector<char> FBuffer;
    std::size_t FUsed = 0;
    bool FInLine = false;
    bool FFailed = false;
};
