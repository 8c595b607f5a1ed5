// Decodes the bytes of one field as stored in a record.
#include "table/engine/FieldCodec.h"

#include "table/engine/Endian.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace FieldCodec {

namespace {

// Trailing stars fill a number that overflowed its width in dBase, and a field of stars only is the null
// that GIS tools write.
std::string_view NumberBytes(std::string_view bytes) {
    std::string_view text = Trim(bytes);
    while (!text.empty() && text.back() == '*')
        text.remove_suffix(1);
    return text;
}

std::optional<double> ParseText(std::string_view bytes) {
    std::string_view text = NumberBytes(bytes);
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

bool Digits(std::string_view text) {
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A plain decimal ("-0012.500") in its shortest form ("-12.5"); false when text is not one.
bool DecimalText(std::string_view text, std::string& out) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if ((whole.empty() && fraction.empty()) || !Digits(whole) || !Digits(fraction))
        return false;
    while (!whole.empty() && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    out.clear();
    if (whole.empty() && fraction.empty()) {
        out = "0";
        return true;
    }
    if (negative)
        out += '-';
    if (whole.empty())
        out += '0';
    else
        out += whole;
    if (!fraction.empty()) {
        out += '.';
        out += fraction;
    }
    return true;
}

std::int64_t SignedInteger(const TFieldType& type, std::string_view bytes) {
    if (type.BigEndian)
        return static_cast<std::int64_t>(Endian::LoadBe(bytes)) - 0x80000000LL;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(Endian::LoadLe(bytes)));
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

// 0x80 in each byte of word that is not zero, nothing elsewhere (exact for every byte, unlike the
// classic has-a-zero test).
constexpr std::uint64_t NonZeroBytes(std::uint64_t word) {
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    return (((word & low7) + low7) | word) & ~low7;
}

std::string_view TrimRight(std::string_view bytes) {
    std::size_t end = bytes.size();
    // Text fields are mostly padding: eight bytes at a time, down to the word that holds the last byte that
    // is neither a blank nor a NUL.
    while (end >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + end - 8, 8);
        const std::uint64_t kept = NonZeroBytes(word ^ 0x2020202020202020ULL) & NonZeroBytes(word);
        if (kept != 0) {
            // Little-endian: the highest flagged byte is the last one kept.
            if constexpr (std::endian::native == std::endian::little)
                return bytes.substr(0, end - 8 + static_cast<std::size_t>(63 - std::countl_zero(kept)) / 8 + 1);
            break;
        }
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

std::optional<double> Number(const TFieldType& type, std::string_view bytes) {
    switch (type.Form) {
    case TFieldForm::Integer:
        if (bytes.size() != 4)
            return std::nullopt;
        return static_cast<double>(SignedInteger(type, bytes));
    case TFieldForm::Currency:
        if (bytes.size() != 8)
            return std::nullopt;
        return static_cast<double>(static_cast<std::int64_t>(Endian::LoadLe(bytes))) / 10000.0;
    case TFieldForm::Double: {
        if (bytes.size() != 8)
            return std::nullopt;
        // dBase 7 stores doubles big-endian with the sign bit flipped so that they sort as bytes; writers
        // keep that form when they put O fields into FoxPro headers (and the real O fields we have seen
        // flip only the sign bit, for negatives too, and that is what we read).
        std::uint64_t bits = type.BigEndian ? Endian::LoadBe(bytes) ^ 0x8000000000000000ULL : Endian::LoadLe(bytes);
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

void NumberText(const TFieldType& type, std::string_view bytes, std::string& text) {
    switch (type.Form) {
    case TFieldForm::Number: {
        const std::string_view digits = NumberBytes(bytes);
        if (digits.empty())
            text.clear();
        else if (!DecimalText(digits, text)) {
            const std::optional<double> value = ParseText(bytes);
            text = value ? NumberText(*value) : std::string(Trim(bytes));
        }
        return;
    }
    case TFieldForm::Integer:
        if (bytes.size() != 4)
            break;
        text = std::to_string(SignedInteger(type, bytes));
        return;
    case TFieldForm::Currency: {
        if (bytes.size() != 8)
            break;
        const std::int64_t value = static_cast<std::int64_t>(Endian::LoadLe(bytes));
        const std::uint64_t magnitude =
            value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, "%04u", static_cast<unsigned>(magnitude % 10000));
        DecimalText((value < 0 ? "-" : "") + std::to_string(magnitude / 10000) + "." + fraction, text);
        return;
    }
    default: {
        const std::optional<double> value = Number(type, bytes);
        if (value) {
            text = NumberText(*value);
            return;
        }
    }
    }
    text.assign(Trim(bytes));
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

bool NullDate(std::string_view bytes) {
    const std::string_view text = Trim(bytes);
    return text.empty() || text == "00000000";
}

std::optional<TDateTime> Date(TFieldForm form, std::string_view bytes) {
    TDateTime result;
    if (form == TFieldForm::DateTime) {
        if (bytes.size() != 8 || IsBlank(bytes))
            return std::nullopt;
        const long long julian = static_cast<std::int32_t>(Endian::Le32(bytes, 0));
        const long long millis = Endian::Le32(bytes, 4);
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

std::optional<bool> Logical(std::string_view bytes) {
    const std::string_view text = Trim(bytes);
    if (text.size() != 1)
        return std::nullopt;
    switch (text[0]) {
    case 'T':
    case 't':
    case 'Y':
    case 'y':
        return true;
    case 'F':
    case 'f':
    case 'N':
    case 'n':
        return false;
    default:
        return std::nullopt;
    }
}

bool BitSet(std::string_view image, int flagsOffset, int flagsWidth, int bit) {
    if (flagsOffset < 0 || bit < 0 || bit >= flagsWidth * 8 ||
        static_cast<std::size_t>(flagsOffset) + static_cast<std::size_t>(flagsWidth) > image.size())
        return false;
    return (static_cast<std::uint8_t>(image[static_cast<std::size_t>(flagsOffset + bit / 8)]) >> (bit % 8) & 1) != 0;
}

std::optional<std::uint64_t> MemoBlock(std::string_view bytes) {
    if (bytes.size() == 4)
        return Endian::LoadLe(bytes);
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
