// MIME encoding of plain-text mail: charsets, quoted-printable, encoded-words, folding, Date and Message-ID.
#include "smtp/Mime.h"

#include "framework/core/Text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>

namespace Mime {

namespace {

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendHex(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += '=';
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// Where the first byte of 0x80 or above stands, or the text's size. Most text is ASCII throughout: eight bytes
// are tested at a time.
std::size_t AsciiPrefix(std::string_view text) {
    std::size_t pos = 0;
    for (; pos + 8 <= text.size(); pos += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + pos, sizeof word);
        if ((word & 0x8080808080808080ULL) != 0)
            break;
    }
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80)
        ++pos;
    return pos;
}

bool IsAscii(std::string_view text) {
    return AsciiPrefix(text) == text.size();
}

// ASCII without control characters (a tab aside): a header value that may stand as it is.
bool IsPlain(std::string_view text) {
    return IsAscii(text) &&
           std::none_of(text.begin(), text.end(), [](char c) { return (c < 32 && c != '\t') || c == 127; });
}

void AppendHexNumber(std::string& out, unsigned long long value) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n > 0)
        out += digits[--n];
}

// A run of characters without a blank that folding could not break under the 998 limit.
bool HasOverlongWord(std::string_view text) {
    std::size_t run = 0;
    for (char c : text) {
        run = (c == ' ' || c == '\t') ? 0 : run + 1;
        if (run > 900)
            return true;
    }
    return false;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

bool IsOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    return std::any_of(names.begin(), names.end(), [name](std::string_view n) { return SameName(name, n); });
}

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// A display name as written, without the quotes and backslashes of a quoted string (RFC 5322 3.2.4).
std::string Unquoted(std::string_view phrase) {
    if (phrase.size() < 2 || phrase.front() != '"' || phrase.back() != '"')
        return std::string(phrase);
    std::string name;
    for (std::size_t i = 1; i + 1 < phrase.size(); ++i) {
        if (phrase[i] == '\\' && i + 2 < phrase.size())
            ++i;
        name += phrase[i];
    }
    return name;
}

} // namespace

const char* CharsetName(TCharset charset) {
    switch (charset) {
    case TCharset::UsAscii:
        return "us-ascii";
    case TCharset::Latin1:
        return "iso-8859-1";
    default:
        return "utf-8";
    }
}

TCharset CharsetOf(std::string_view text) {
    TCharset charset = TCharset::UsAscii;
    // ASCII bytes need no decoding.
    std::size_t pos = AsciiPrefix(text);
    while (pos < text.size()) {
        const char32_t code = Text::NextCharacter(text, pos);
        if (code > 0xFF)
            return TCharset::Utf8;
        if (code > 0x7F)
            charset = TCharset::Latin1;
    }
    return charset;
}

TCharset Wider(TCharset a, TCharset b) {
    return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

std::string Encode(std::string_view text, TCharset charset) {
    if (charset == TCharset::UsAscii || IsAscii(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (std::size_t pos = 0; pos < text.size();) {
        const char32_t code = Text::NextCharacter(text, pos);
        if (charset == TCharset::Latin1)
            out += static_cast<char>(code <= 0xFF ? code : '?');
        else
            AppendUtf8(out, code);
    }
    return out;
}

std::vector<std::string> QuotedPrintable(std::string_view line) {
    constexpr std::size_t MaxLine = 76; // RFC 2045 6.7 (5), the soft break's "=" included
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        std::string unit;
        if ((byte >= 33 && byte <= 126 && byte != '=') || ((byte == ' ' || byte == '\t') && !last))
            unit = static_cast<char>(byte);
        else
            AppendHex(unit, byte);
        // The last unit of the line needs no room for a soft break after it.
        if (current.size() + unit.size() + (last ? 0 : 1) > MaxLine) {
            lines.push_back(current + '=');
            current.clear();
        }
        current += unit;
    }
    lines.push_back(current);
    return lines;
}

std::string EncodedWords(std::string_view text, TCharset charset, std::size_t longest, std::size_t first) {
    const std::string prefix = std::string("=?") + CharsetName(charset) + "?Q?";
    // Every word has room for one character (four bytes as =XX); a first word given less gets the whole room.
    const std::size_t least = prefix.size() + 2 + 12;
    longest = std::max(longest, least);
    const std::size_t firstLength = first > 0 ? std::min(first, longest) : longest;
    std::size_t room = (firstLength >= least ? firstLength : longest) - prefix.size() - 2;
    std::string words;
    std::string payload;
    // The payload's length just after its last encoded blank; npos when it holds none.
    std::size_t afterBlank = std::string::npos;
    const auto close = [&] {
        if (payload.empty())
            return;
        if (!words.empty())
            words += ' ';
        words += prefix + payload + "?=";
        payload.clear();
        room = longest - prefix.size() - 2;
    };
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        Text::NextCharacter(text, pos);
        // One character at a time, so none is split between two encoded-words.
        std::string piece;
        for (const char c : Encode(text.substr(start, pos - start), charset)) {
            const unsigned char byte = static_cast<unsigned char>(c);
            // RFC 2047 5 (3): in a phrase only letters, digits and "!*+-/" may stand as they are.
            if (byte == ' ')
                piece += '_';
            else if ((byte >= '0' && byte <= '9') || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z') || byte == '!' ||
                     byte == '*' || byte == '+' || byte == '-' || byte == '/')
                piece += c;
            else
                AppendHex(piece, byte);
        }
        if (payload.size() + piece.size() > room) {
            // A word breaks after a blank of the text where it has one, so that a reader that keeps the blank
            // between two encoded-words (against RFC 2047 6.2) still does not split a word of the text.
            std::string rest;
            if (afterBlank != std::string::npos && afterBlank < payload.size()) {
                rest = payload.substr(afterBlank);
                payload.resize(afterBlank);
            }
            close();
            payload = std::move(rest);
            afterBlank = std::string::npos;
            if (payload.size() + piece.size() > room)
                close();
        }
        payload += piece;
        if (piece == "_")
            afterBlank = payload.size();
    }
    close();
    return words;
}

namespace {

constexpr std::size_t Preferred = 78; // RFC 5322 2.1.1
constexpr std::size_t LongestLine = 998;

// The first encoded-word stays beside the field name (FoldHeader never folds right after the colon): it is made
// short enough for that line to keep within 78, yet long enough for any one character.
std::size_t FirstWord(std::string_view head) {
    return std::max<std::size_t>(head.size() < Preferred ? Preferred - head.size() : 0, 30);
}

} // namespace

std::string EncodeHeaderLine(std::string_view line, TCharset charset) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return std::string(line);
    const std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    if (IsOneOf(name, {"Date", "Message-ID", "Mime-Version", "Content-Type", "Content-Transfer-Encoding"}))
        return std::string(line);
    const std::string head = std::string(name) + ": ";
    if (IsOneOf(name, {"From", "To", "Cc", "Reply-To", "Sender", "List-Id"})) {
        const std::size_t open = value.rfind('<');
        const std::string trimmed = Trimmed(value);
        if (open == std::string_view::npos || trimmed.empty() || trimmed.back() != '>')
            return std::string(line); // a bare address cannot be encoded (RFC 2047 5)
        const std::string phrase = Unquoted(Trimmed(value.substr(0, open)));
        if (phrase.empty() || (IsPlain(phrase) && !HasOverlongWord(phrase)))
            return std::string(line);
        // Encoded-words of at most 75 characters (RFC 2047 2), so that the line folds between them at 78.
        return head + EncodedWords(phrase, charset, 75, FirstWord(head)) + " " + Trimmed(value.substr(open));
    }
    if (IsPlain(value) && !HasOverlongWord(value))
        return std::string(line);
    return head + EncodedWords(value, charset, 75, FirstWord(head));
}

bool FitsAsItIs(std::string_view line) {
    return line.size() <= Preferred && IsPlain(line);
}

std::vector<std::string> FoldHeader(std::string_view line) {
    // A line that fits is never folded, wherever its blanks are.
    if (line.size() <= Preferred)
        return {std::string(line)};
    std::vector<std::string> lines;
    std::string current;
    std::size_t pos = 0;
    // The value's first word stays beside the field name: a fold right after the colon reads as a leading blank.
    int words = 0;
    while (pos < line.size()) {
        // The next word with the blanks before it: a fold goes in front of those blanks.
        std::size_t end = line.find_first_not_of(" \t", pos);
        end = end == std::string_view::npos ? line.size() : line.find_first_of(" \t", end);
        if (end == std::string_view::npos)
            end = line.size();
        const std::string_view word = line.substr(pos, end - pos);
        const bool blankFirst = word.front() == ' ' || word.front() == '\t';
        const bool hasText = current.find_first_not_of(" \t") != std::string::npos;
        if (blankFirst && hasText && (words > 1 || !lines.empty()) && current.size() + word.size() > Preferred) {
            lines.push_back(current);
            current.clear();
        }
        current += word;
        words += word.find_first_not_of(" \t") != std::string_view::npos ? 1 : 0;
        pos = end;
        // A word too long for any line (no valid address or encoded text is) is broken where it must be: a
        // line over 998 octets may be cut or refused by any server on the way (RFC 5322 2.1.1).
        while (current.size() > LongestLine) {
            lines.push_back(current.substr(0, LongestLine));
            current = " " + current.substr(LongestLine);
        }
    }
    lines.push_back(current);
    return lines;
}

std::string DateValue(std::time_t moment) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    localtime_r(&moment, &local);
    const long offset = local.tm_gmtoff / 60;
    const long hours = (offset < 0 ? -offset : offset) / 60;
    const long minutes = (offset < 0 ? -offset : offset) % 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", days[local.tm_wday % 7],
                  local.tm_mday, months[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, offset < 0 ? '-' : '+', hours, minutes);
    return text;
}

std::string NewMessageId(std::string_view returnAddress) {
    // The part after "@", kept to the characters a domain may hold.
    std::string domain;
    const std::size_t at = returnAddress.rfind('@');
    if (at != std::string_view::npos)
        for (char c : returnAddress.substr(at + 1))
            if ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '.' || c == '-')
                domain += c;
    if (domain.empty())
        domain = "localhost";
    static std::atomic<unsigned long> counter{0};
    static const unsigned long salt = std::random_device{}();
    static const auto pid = static_cast<unsigned long>(getpid()); // a system call per message otherwise
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // Time, process, count and salt in hexadecimal, apart by dots.
    std::string id = "<";
    id.reserve(64 + domain.size());
    AppendHexNumber(id, static_cast<unsigned long long>(micros));
    id += '.';
    AppendHexNumber(id, pid);
    id += '.';
    AppendHexNumber(id, counter.fetch_add(1) + 1);
    id += '.';
    AppendHexNumber(id, salt & 0xFFFFFFFFUL);
    return id.append(1, '@').append(domain).append(1, '>');
}

} // namespace Mime
