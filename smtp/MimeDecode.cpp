// Reading a message back: encoded-words, quoted-printable and the body's charset decoded into UTF-8.
#include "smtp/Mime.h"

#include "framework/core/Text.h"

#include <QByteArray>

#include <algorithm>
#include <cctype>

namespace Mime {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// The bytes with each byte that starts no well-formed UTF-8 sequence read as U+FFFD: always UTF-8.
std::string ValidUtf8(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t start = i;
        bool valid = false;
        Text::NextCharacter(bytes, i, &valid);
        text += valid ? bytes.substr(start, i - start) : std::string_view("\xEF\xBF\xBD");
    }
    return text;
}

bool IsLatin1(std::string_view charset) {
    return StartsWithNoCase(charset, "iso-8859-1") || StartsWithNoCase(charset, "latin1");
}

// Bytes in the named charset as UTF-8; ISO-8859-1 byte by byte, UTF-8 and US-ASCII as they are (but valid).
std::string ToUtf8(std::string_view bytes, std::string_view charset) {
    if (!IsLatin1(charset))
        return ValidUtf8(bytes);
    std::string text;
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

// "=XX" as its byte; with underscores as blanks in encoded-words. An "=" that starts no pair stays.
std::string UnQuote(std::string_view text, bool underscoreBlank) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += underscoreBlank && text[i] == '_' ? ' ' : text[i];
        }
    }
    return bytes;
}

// One encoded-word at pos ("=?charset?Q?text?="): its text in UTF-8 and the position after it, or false.
bool DecodeWord(std::string_view line, std::size_t pos, std::string& text, std::size_t& end) {
    const std::size_t charsetEnd = line.find('?', pos + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= line.size() || line[charsetEnd + 2] != '?')
        return false;
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(line[charsetEnd + 1])));
    const std::size_t close = line.find("?=", charsetEnd + 3);
    if (close == std::string_view::npos || (encoding != 'Q' && encoding != 'B'))
        return false;
    const std::string_view charset = line.substr(pos + 2, charsetEnd - pos - 2);
    const std::string_view encoded = line.substr(charsetEnd + 3, close - charsetEnd - 3);
    std::string bytes;
    if (encoding == 'Q') {
        bytes = UnQuote(encoded, true);
    } else {
        const QByteArray decoded =
            QByteArray::fromBase64(QByteArray(encoded.data(), static_cast<qsizetype>(encoded.size())));
        bytes.assign(decoded.constData(), static_cast<std::size_t>(decoded.size()));
    }
    // UTF-8 is checked over the whole line: a character split over two encoded-words is still read.
    text = IsLatin1(charset) ? ToUtf8(bytes, charset) : bytes;
    end = close + 2;
    return true;
}

std::string HeaderValue(const std::vector<std::string>& headers, std::string_view name) {
    for (const std::string& header : headers)
        if (StartsWithNoCase(header, std::string(name) + ":"))
            return header.substr(name.size() + 1);
    return {};
}

} // namespace

std::string DecodeHeaderLine(std::string_view line) {
    std::string text;
    std::size_t pos = 0;
    bool afterWord = false;
    std::string blanks; // between two encoded-words they are dropped (RFC 2047 6.2)
    while (pos < line.size()) {
        std::string word;
        std::size_t end = 0;
        if (line.substr(pos, 2) == "=?" && DecodeWord(line, pos, word, end)) {
            if (!afterWord)
                text += blanks;
            blanks.clear();
            text += word;
            afterWord = true;
            pos = end;
        } else if (line[pos] == ' ' || line[pos] == '\t') {
            blanks += line[pos++];
        } else {
            text += blanks;
            blanks.clear();
            text += line[pos++];
            afterWord = false;
        }
    }
    return ValidUtf8(text + blanks);
}

std::vector<std::string> ReadableMessage(const std::vector<std::string>& lines) {
    std::vector<std::string> headers;
    std::size_t i = 0;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        if (!headers.empty() && (lines[i][0] == ' ' || lines[i][0] == '\t'))
            headers.back() += lines[i]; // unfolded: the fold's blank stays (RFC 5322 2.2.3)
        else
            headers.push_back(lines[i]);
    }
    std::vector<std::string> readable;
    for (const std::string& header : headers)
        readable.push_back(DecodeHeaderLine(header));
    readable.emplace_back();

    const std::string type = HeaderValue(headers, "Content-Type");
    std::string charset = "us-ascii";
    if (const std::size_t at = type.find("charset="); at != std::string::npos) {
        charset = type.substr(at + 8);
        charset.erase(std::remove(charset.begin(), charset.end(), '"'), charset.end());
    }
    const bool quoted = HeaderValue(headers, "Content-Transfer-Encoding").find("quoted-printable") != std::string::npos;
    std::string pending; // a quoted-printable line continued after a soft break
    for (++i; i < lines.size(); ++i) {
        if (!quoted) {
            readable.push_back(ToUtf8(lines[i], charset));
            continue;
        }
        const bool soft = !lines[i].empty() && lines[i].back() == '=';
        pending += UnQuote(soft ? std::string_view(lines[i]).substr(0, lines[i].size() - 1) : lines[i], false);
        if (!soft) {
            readable.push_back(ToUtf8(pending, charset));
            pending.clear();
        }
    }
    if (!pending.empty())
        readable.push_back(ToUtf8(pending, charset));
    return readable;
}

} // namespace Mime
