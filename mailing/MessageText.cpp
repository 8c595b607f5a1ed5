// The text logic of one personalised message.
#include "mailing/MessageText.h"

#include "mailing/HtmlScanner.h"
#include "framework/core/Maker.h"
#include "framework/core/Text.h"
#include "table/CodePage.h"
#include "table/Field.h"
#include "table/Table.h"

#include <algorithm>
#include <cstring>

namespace MessageText {

namespace {

bool IsBreak(unsigned char c) {
    return (c >= 1 && c <= 32) || c == '-';
}

// What a break character leaves in the line: itself (tab, blank, hyphen), nothing (CR, LF), else one blank.
std::string_view BreakText(unsigned char c) {
    switch (c) {
    case '\r':
    case '\n':
        return {};
    case '\t':
        return "\t";
    case '-':
        return "-";
    default:
        return " ";
    }
}

bool IsPlaceholder(char c) {
    return c == 'D' || c == 'E' || c == 'N' || c == 'O';
}

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the line break at pos: CR LF, a lone CR or a lone LF alike; 0 when there is none.
size_t LineEnd(std::string_view text, size_t pos) {
    if (pos >= text.size() || (text[pos] != '\r' && text[pos] != '\n'))
        return 0;
    return text.compare(pos, 2, "\r\n") == 0 ? 2 : 1;
}

int Characters(std::string_view text) {
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuation(static_cast<unsigned char>(c)); }));
}

// The bytes of text's first characters, at most chars characters and at most bytes bytes.
size_t Prefix(std::string_view text, int chars, size_t bytes) {
    size_t pos = 0;
    for (int taken = 0; pos < text.size() && taken < chars; ++taken) {
        const size_t n = Text::CharacterBytes(text, pos);
        if (pos + n > bytes)
            break;
        pos += n;
    }
    return pos;
}

// Links that a reader's mail program makes clickable: cut or broken at a hyphen they would lead nowhere.
bool IsLinkStart(std::string_view text) {
    using namespace std::string_view_literals;
    // Most words start with no link's first letter: they are told apart without comparing.
    if (text.empty() || !std::strchr("hHmMwW", text[0]))
        return false;
    for (std::string_view prefix : {"http://"sv, "https://"sv, "mailto:"sv, "www."sv})
        if (text.size() > prefix.size() && Text::SameTextAscii(text.substr(0, prefix.size()), prefix))
            return true;
    return false;
}

} // namespace

const std::string& TFieldMapping::FieldFor(char placeholder) const {
    switch (placeholder) {
    case 'N':
        return NameField;
    case 'O':
        return OrganizationField;
    case 'E':
        return EmailField;
    default:
        return DearField;
    }
}

std::vector<char> Placeholders(std::string_view text) {
    std::vector<char> found;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        const char ch = text[++i];
        if (IsPlaceholder(ch) && std::find(found.begin(), found.end(), ch) == found.end())
            found.push_back(ch);
    }
    return found;
}

std::string Footer() {
    return std::string("\r\n\r\nDelivered to you by Quorvel Mailer - get free e-mail software at: ") +
           Maker::WebAddress + "\r\n";
}

namespace {

bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9');
}

// A {NAME} or {NAME|text} at pos (which holds "{"): its name, its default and its length; nullopt when the braces
// hold no field reference and are plain text.
struct TFieldReference {
    std::string_view Name;
    std::optional<std::string_view> Default;
    size_t Length = 0;
};

std::optional<TFieldReference> FieldReferenceAt(std::string_view text, size_t pos) {
    size_t end = pos + 1;
    if (end >= text.size() || !IsNameStart(text[end]))
        return std::nullopt;
    while (end < text.size() && IsNameChar(text[end]))
        ++end;
    TFieldReference reference;
    reference.Name = text.substr(pos + 1, end - pos - 1);
    if (end < text.size() && text[end] == '|') {
        const size_t close = text.find('}', end);
        if (close == std::string_view::npos)
            return std::nullopt;
        reference.Default = text.substr(end + 1, close - end - 1);
        end = close;
    }
    if (end >= text.size() || text[end] != '}')
        return std::nullopt;
    reference.Length = end + 1 - pos;
    return reference;
}

// A value as it goes into the text written so far (dest): escaped for where it stands.
using ValuePlacer = std::function<std::string(std::string_view value, const std::string& dest)>;

// Both rules in one pass, so that a value holding "%N" or "{X}" is never expanded again.
std::string Expand(std::string_view source, const FieldLookup* field, const NamedLookup& named,
                   const ValuePlacer& place) {
    std::string dest;
    dest.reserve(source.size() + 128);
    const auto putValue = [&](const std::string& value) { dest += place ? place(value, dest) : value; };
    for (size_t i = 0; i < source.size(); ++i) {
        const char ch = source[i];
        if (field && ch == '%') {
            if (++i == source.size())
                break;
            if (IsPlaceholder(source[i])) {
                putValue((*field)(source[i]));
            } else {
                dest += '%';
                dest += source[i];
            }
            continue;
        }
        if (named && (ch == '{' || ch == '}') && i + 1 < source.size() && source[i + 1] == ch) {
            dest += ch;
            ++i;
            continue;
        }
        if (named && ch == '{') {
            if (const auto reference = FieldReferenceAt(source, i)) {
                if (const std::optional<std::string> value = named(reference->Name)) {
                    if (reference->Default && Text::Trim(*value).empty())
                        dest += *reference->Default;
                    else
                        putValue(*value);
                } else {
                    dest += source.substr(i, reference->Length);
                }
                i += reference->Length - 1;
                continue;
            }
        }
        dest += ch;
    }
    return dest;
}

} // namespace

namespace {

ValuePlacer Placer(const ValueEscaper& escape) {
    if (!escape)
        return {};
    return [&escape](std::string_view value, const std::string&) { return escape(value); };
}

} // namespace

std::string Personalise(std::string_view source, const FieldLookup& field, const NamedLookup& named,
                        const ValueEscaper& escape) {
    return Expand(source, &field, named, Placer(escape));
}

std::string ExpandFields(std::string_view source, const NamedLookup& named, const ValueEscaper& escape) {
    return Expand(source, nullptr, named, Placer(escape));
}

std::string PersonaliseHtml(std::string_view source, const FieldLookup& field, const NamedLookup& named,
                            std::string& problem) {
    THtmlScanner scanner;
    std::string html = Expand(source, &field, named, [&scanner](std::string_view value, const std::string& dest) {
        scanner.Advance(dest);
        return scanner.PlaceValue(value);
    });
    scanner.Advance(html);
    scanner.Finish(html);
    problem = scanner.Problem();
    return html;
}

std::vector<std::string> UnquotedAttributeFields(std::string_view html) {
    std::vector<std::string> found;
    THtmlScanner scanner;
    const FieldLookup none = [](char) { return std::string(); };
    const NamedLookup any = [](std::string_view) { return std::optional<std::string>(""); };
    Expand(html, &none, any, [&](std::string_view, const std::string& dest) {
        scanner.Advance(dest);
        if (scanner.InUnquotedValue())
            found.push_back(scanner.AttributeName());
        return std::string();
    });
    return found;
}

std::vector<std::string> FieldNames(std::string_view text) {
    std::vector<std::string> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((text[i] == '{' || text[i] == '}') && i + 1 < text.size() && text[i + 1] == text[i]) {
            ++i;
            continue;
        }
        if (text[i] != '{')
            continue;
        if (const auto reference = FieldReferenceAt(text, i)) {
            if (std::find(found.begin(), found.end(), reference->Name) == found.end())
                found.emplace_back(reference->Name);
            i += reference->Length - 1;
        }
    }
    return found;
}

std::string HtmlEscape(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '&':
            escaped += "&amp;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string ReplaceVariables(std::string_view source, const FieldLookup& field, const NamedLookup& named) {
    return Personalise(source, field, named) + Footer();
}

std::string NextBodyLine(std::string_view text, size_t& pos, int width, int maxLen, bool& more) {
    if (width <= 0 || width > MaxLineLength)
        width = MaxLineLength;
    // The line's bytes: a character of several bytes counts once for the width, but the wire counts bytes.
    const size_t room = static_cast<size_t>(std::clamp(maxLen, 1, MaxLineLength));
    const size_t len = text.size();
    std::string line;
    // The word being read is text[wordStart, pos): it joins the line only once it fits whole.
    size_t wordStart = pos;
    const auto takeWord = [&] {
        line += text.substr(wordStart, pos - wordStart);
        wordStart = pos;
    };
    int left = width;
    // The line ended at a line break: a line is still due after it, even at the end of the text.
    bool ended = false;
    while (left > 0 && pos < len) {
        const unsigned char ch = static_cast<unsigned char>(text[pos]);
        if (const size_t end = LineEnd(text, pos); end > 0) {
            if (line.size() + (pos - wordStart) > room)
                break;
            takeWord();
            wordStart = pos += end;
            ended = true;
            break;
        }
        if (IsBreak(ch)) {
            const std::string_view kept = BreakText(ch);
            if (line.size() + (pos - wordStart) + kept.size() > room)
                break;
            takeWord();
            line += kept;
            wordStart = ++pos;
            left -= static_cast<int>(kept.size());
            continue;
        }
        if (wordStart == pos && IsLinkStart(text.substr(pos))) {
            // A link is never broken: it goes whole on this line, or whole on the next.
            size_t end = pos;
            while (end<len&& static_cast<unsigned char>(text[end])> 32)
                ++end;
            const std::string_view link = text.substr(pos, end - pos);
            const int chars = Characters(link);
            if (chars <= left && line.size() + link.size() <= room) {
                line += link;
                left -= chars;
                wordStart = pos = end;
                continue;
            }
            if (!Text::Trim(line).empty())
                break;
            // Longer than the column and first on its line: whole, up to the wire's limit.
            const size_t taken = Prefix(link, MaxLineLength - static_cast<int>(line.size()), room - line.size());
            line += link.substr(0, taken);
            wordStart = pos += taken;
            left = 0;
            break;
        }
        const size_t n = Text::CharacterBytes(text, pos);
        if (line.size() + (pos - wordStart) + n > room)
            break;
        pos += n;
        --left;
    }

    if (pos >= len) {
        takeWord();
    } else if (left == 0 && IsBreak(static_cast<unsigned char>(text[pos]))) {
        // The word ended exactly at the column.
        takeWord();
        // A text line exactly as long as the column ends here, not with an extra empty line.
        const size_t end = LineEnd(text, pos);
        wordStart = pos += end;
        ended = end > 0;
    } else if (line.empty() && !ended) {
        // A word longer than the whole line: cut it at the column so the feed moves on, by a byte at least.
        pos = std::max(pos, wordStart + 1);
        takeWord();
    }
    // A word that did not fit starts the next line.
    pos = wordStart;

    more = pos < len || ended;
    std::string trimmed = Text::Trim(line);
    // The signature separator keeps its blank (RFC 3676 4.3): "-- " on a line of its own.
    const size_t dashes = line.find("--");
    if (trimmed == "--" && dashes + 2 < line.size() && line[dashes + 2] == ' ')
        trimmed += ' ';
    return trimmed;
}

std::string Mailbox(std::string_view name, std::string_view address) {
    // Dots are left alone: "Dr. Anna Berg" is an accepted display name as it stands (RFC 5322 4.1).
    const bool quote = name.find_first_of("()<>[]:;@\\,\"") != std::string_view::npos;
    std::string box;
    box.reserve(name.size() + address.size() + 5);
    if (quote) {
        box += '"';
        for (char c : name) {
            if (c == '"' || c == '\\')
                box += '\\';
            box += c;
        }
        box += '"';
    } else {
        box += name;
    }
    box += " <";
    box += address;
    box += '>';
    return box;
}

std::string FieldText(const TField& field, const TCodePage* codePage) {
    return codePage ? codePage->ToUtf8(field.AsString()) : field.AsString();
}

NamedLookup TableLookup(const TTable& table, const TCodePage* codePage) {
    return [&table, codePage](std::string_view name) -> std::optional<std::string> {
        // Table field names are kept in capitals; a user may write {name}.
        const TField* field = table.FindField(Text::UpperAscii(name));
        if (!field)
            return std::nullopt;
        return FieldText(*field, codePage);
    };
}

} // namespace MessageText
