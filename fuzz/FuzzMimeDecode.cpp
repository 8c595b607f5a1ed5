// libFuzzer target for the decoder the preview reads a composed message back with. The input is any bytes, cut
// into lines at LF (a CR before it dropped), given whole to the message decoder and line by line to the header
// decoder. Everything they return must be valid UTF-8.
#include "smtp/Mime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The length of the UTF-8 sequence at text[i] (RFC 3629: shortest form, no surrogates, at most U+10FFFF), or 0.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return length;
}

void CheckUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = SequenceLength(text, i);
        if (length == 0) {
            std::fprintf(stderr, "not UTF-8 at byte %zu of %zu: %.*s\n", i, text.size(),
                         static_cast<int>(std::min<std::size_t>(text.size(), 200)), text.data());
            std::abort();
        }
        i += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        std::string line(input.substr(start, end - start));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    for (const std::string& line : lines)
        CheckUtf8(Mime::DecodeHeaderLine(line));
    for (const std::string& line : Mime::ReadableMessage(lines))
        CheckUtf8(line);
    return 0;
}
