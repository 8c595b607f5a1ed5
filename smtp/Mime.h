// MIME for plain-text mail: the charset of a message, quoted-printable bodies (RFC 2045 6.7), encoded-words in
// headers (RFC 2047), folded header lines (RFC 5322 2.2.3), and the Date and Message-ID values.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace Mime {

// The charsets a message goes out in, from the narrowest.
enum class TCharset { UsAscii, Latin1, Utf8 };

// The charset's name as Content-Type and encoded-words carry it.
const char* CharsetName(TCharset charset);

// The narrowest charset that holds text (UTF-8; a byte that is no UTF-8 counts as the ISO-8859-1 character of
// that value, so 8-bit text from older callers still goes out as they meant it).
TCharset CharsetOf(std::string_view text);
TCharset Wider(TCharset a, TCharset b);

// Text in the charset's bytes: ISO-8859-1 bytes for Latin1, valid UTF-8 for Utf8, unchanged for UsAscii.
std::string Encode(std::string_view text, TCharset charset);

// One body line in quoted-printable: "=", control characters, 8-bit bytes and blanks at the line's end as
// =XX; lines longer than 76 characters split with soft breaks ("=" at the end). Returns the lines to send.
std::vector<std::string> QuotedPrintable(std::string_view line);

// The text as RFC 2047 encoded-words ("=?utf-8?Q?...?="), each at most longest characters (RFC 2047 2: 75), the
// first at most first (0: longest), separated by blanks; no character is split between two words, and a word
// breaks after a blank of the text where it has one.
std::string EncodedWords(std::string_view text, TCharset charset, std::size_t longest = 75, std::size_t first = 0);

// A header line ("Name: value", UTF-8) ready for the wire: a non-ASCII value becomes encoded-words in the
// given charset. In address headers (From, To, Cc, Reply-To, Sender) only the display name is encoded, never
// the address in angle brackets; other headers (Subject, Organization, ...) are encoded whole. Date,
// Message-ID and the MIME headers pass unchanged.
std::string EncodeHeaderLine(std::string_view line, TCharset charset);

// True when a header line goes on the wire as it stands: ASCII, so nothing to encode, and short enough that
// FoldHeader would not fold it. EncodeHeaderLine and FoldHeader return such a line unchanged.
bool FitsAsItIs(std::string_view line);

// A header line folded at blanks (RFC 5322 2.2.3): lines of at most 78 characters where blanks allow, never
// more than 998. Returns the lines to send; the second and later start with the blank they were folded at.
std::vector<std::string> FoldHeader(std::string_view line);

// The Date value of RFC 5322 3.3 for a moment, in local time with its offset: "Mon, 07 Dec 2026 11:00:43 +0100".
std::string DateValue(std::time_t moment);

// A new Message-ID ("<unique@domain>"): unique over time, processes and calls; domain is the return address's.
std::string NewMessageId(std::string_view returnAddress);

// Reading back (MimeDecode.cpp). A header line with its encoded-words (Q or B; UTF-8, ISO-8859-1, US-ASCII)
// as UTF-8 text; blanks between two encoded-words are dropped.
std::string DecodeHeaderLine(std::string_view line);

// The lines of a message after DATA as a reader sees them: header lines unfolded and decoded, an empty line,
// the body lines decoded from their transfer encoding and charset, all UTF-8.
std::vector<std::string> ReadableMessage(const std::vector<std::string>& lines);

} // namespace Mime
