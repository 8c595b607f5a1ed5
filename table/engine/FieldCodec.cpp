// Decodes the bytes of one field as stored in a record.
#include "table/engine/FieldCodec.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace FieldCodec {

namespace {

std::uint64_t LeBytes(std::string_view b) {
    std::uint64_t v = 0;
    for (std::size_t i = b.size(); i-- > 0;)
        v = v << 8 | static_cast<std::uint8_t>(b[i]);
    return v;
}

std::uint64_t BeBytes(std::string_view b) {
    std::uint64_t v = 0;
    for (char c : b)
        v = v << 8 | static_cast<std::uint8_t>(c);
    return v;
}

std::optional<double> ParseText(std::string_view bytes) {
    std::string_view text = Trim(bytes);
    // Some writers pad numbers with '*' (an overflowed width in dBase shows as stars).
    while (!text.empty() && text.back() == '*')
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

// Plain loops: these run for every field of every record, and the library's searches for a set of
// characters call memchr once per byte.
bool IsBlank(std::string_view bytes) {
    for (char c : bytes)
        if (c != ' ')
            return false;
    return true;
}

std::string_view TrimRight(std::string_view bytes) {
    std::size_t end = bytes.size();
    // Text fields are mostly padding: skip eight blanks at a time.
    while (end >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + end - 8, 8);
        if (word != 0x2020202020202020ULL)
            break;
        end -= 8;
    }
    while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == '\0'))
        --end;
    return bytes.substr(0, end);
}

std::string_view Trim(std::string_view bytes) {
    const std::string_view right = TrimRight(bytes);
    const std::size_t start = right.find_first_not_of(' ');
    return start == std::string_view::npos ? std::string_view() : right.substr(start);
}

std::optional<double> Number(char type, std::string_view bytes, bool bigEndianInts) {
    switch (type) {
    case 'I':
    case '+':
        if (bytes.size() != 4)
            return std::nullopt;
        if (bigEndianInts)
            return static_cast<double>(static_cast<std::int64_t>(BeBytes(bytes)) - 0x80000000LL);
        return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(LeBytes(bytes))));
    case 'Y':
        if (bytes.size() != 8)
            return std::nullopt;
        return static_cast<double>(static_cast<std::int64_t>(LeBytes(bytes))) / 10000.0;
    case 'B':
    case 'O': {
        if (bytes.size() != 8)
            return std::nullopt;
        // O exists only in dBase 7, whose doubles are stored big-endian with the sign bit flipped so that
        // they sort as bytes; writers keep that form when they put O fields into FoxPro headers (and
        // the real O fields we have seen flip only the sign bit, for negatives too, and that is what we read).
        const bool dBase7 = bigEndianInts || type == 'O';
        std::uint64_t bits = dBase7 ? BeBytes(bytes) : LeBytes(bytes);
        if (dBase7)
            bits ^= 0x8000000000000000ULL;
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value))
            return std::nullopt;
        return value;
    }
    default:
        return ParseText(bytes);
    }
}

std::string NumberText(double value) {
    if (value == 0)
        return "0";
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

bool ValidDate(int year, int month, int day) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::optional<TDateTime> Date(char type, std::string_view bytes) {
    TDateTime result;
    if (type == 'T' || type == '@') {
        if (bytes.size() != 8 || IsBlank(bytes))
            return std::nullopt;
        const long long julian = static_cast<std::int32_t>(static_cast<std::uint32_t>(LeBytes(bytes.substr(0, 4))));
        const long long millis = static_cast<std::uint32_t>(LeBytes(bytes.substr(4, 4)));
        if (julian <= 0 || julian > 5373484 || millis >= 86400000LL)
            return std::nullopt;
        // Julian day number to the Gregorian calendar (Fliegel and Van Flandern).
        long long l = julian + 68569;
        const long long n = 4 * l / 146097;
        l -= (146097 * n + 3) / 4;
        const long long i = 4000 * (l + 1) / 1461001;
        l = l - 1461 * i / 4 + 31;
        const long long j = 80 * l / 2447;
        result.Day = static_cast<int>(l - 2447 * j / 80);
        l = j / 11;
        result.Month = static_cast<int>(j + 2 - 12 * l);
        result.Year = static_cast<int>(100 * (n - 49) + i + l);
        const long long seconds = millis / 1000;
        result.Hour = static_cast<int>(seconds / 3600);
        result.Minute = static_cast<int>(seconds / 60 % 60);
        result.Second = static_cast<int>(seconds % 60);
        if (!ValidDate(result.Year, result.Month, result.Day))
            return std::nullopt;
        return result;
    }
    const std::string_view text = Trim(bytes);
    if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::from_chars(text.data(), text.data() + 4, result.Year);
    std::from_chars(text.data() + 4, text.data() + 6, result.Month);
    std::from_chars(text.data() + 6, text.data() + 8, result.Day);
    if (!ValidDate(result.Year, result.Month, result.Day))
        return std::nullopt;
    return result;
}

bool BitSet(std::string_view image, int flagsOffset, int flagsWidth, int bit) {
    if (flagsOffset < 0 || bit < 0 || bit >= flagsWidth * 8 ||
        static_cast<std::size_t>(flagsOffset) + static_cast<std::size_t>(flagsWidth) > image.size())
        return false;
    return (static_cast<std::uint8_t>(image[static_cast<std::size_t>(flagsOffset + bit / 8)]) >> (bit % 8) & 1) != 0;
}

std::optional<std::uint64_t> MemoBlock(std::string_view bytes) {
    if (bytes.size() == 4)
        return LeBytes(bytes);
    const std::string_view text = Trim(bytes);
    if (text.empty())
        return 0;
    std::uint64_t block = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), block);
    if (ec != std::errc() || end != text.data() + text.size() || block > 0xFFFFFFFFULL)
        return std::nullopt;
    return block;
}

} // namespace FieldCodec
