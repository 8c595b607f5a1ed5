// 8-bit text helpers: the core keeps text as bytes, the window converts at its boundary.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace Text {

// The text without its leading and trailing characters of codes 0 to 32.
std::string Trim(std::string_view text);
QString Trim(const QString& text);

// Only blanks (code 32) removed at both ends.
std::string TrimBlanks(std::string_view text);

// ISO-8859-1 is the charset every message declares, so it is the one conversion at the window.
std::string ToLatin1(const QString& text);
QString FromLatin1(std::string_view text);

// True when every character of the text has an ISO-8859-1 code.
bool IsLatin1(const QString& text);

// Case-insensitive comparison of ASCII letters, as table field names are compared.
bool SameTextAscii(std::string_view a, std::string_view b);

std::string UpperAscii(std::string_view text);

// A value that goes into one line of a command or header: CR and LF become blanks, so it never starts a line of
// its own on the wire.
std::string OneLine(std::string_view text);
// The same, trimmed: an address as the envelope sends it.
std::string EnvelopeAddress(std::string_view text);

// The bytes of the UTF-8 character at pos: its lead byte and the continuation bytes after it, at most four, so
// that a run of stray continuation bytes is taken a few at a time and whoever walks the text always advances.
size_t CharacterBytes(std::string_view text, size_t pos);

// The character at pos of UTF-8 text, pos moved past it. A byte that starts no well-formed sequence (cut short,
// overlong, a surrogate, past U+10FFFF) gives its own value, pos moves by one, and valid (when given) is false.
char32_t NextCharacter(std::string_view text, size_t& pos, bool* valid = nullptr);

// Line breaks between the window's memo (LF) and what is stored or sent (CR LF); a lone CR reads as a break.
QString ToCrLf(const QString& text);
QString FromCrLf(const QString& text);

} // namespace Text
