// The text logic of one personalised message: placeholders, the footer, the wrapped body feed, the mailbox.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TCodePage;
class TField;
class TTable;

namespace MessageText {

// Which field of the recipient table each placeholder stands for; an empty name leaves the placeholder unmapped.
struct TFieldMapping {
    std::string NameField;         // %N
    std::string OrganizationField; // %O
    std::string EmailField;        // %E
    std::string DearField;         // %D

    // The one lookup from a placeholder letter to its field, used by the preview, the pre-flight and the run.
    const std::string& FieldFor(char placeholder) const;
};

// The distinct placeholders of a text, in order of first appearance, as Personalise reads them.
std::vector<char> Placeholders(std::string_view text);

// Appended to every message, after the personalised body.
std::string Footer();

// Returns the value of the mapped field for a placeholder letter ('N', 'O', 'E', 'D'); empty when not mapped.
using FieldLookup = std::function<std::string(char placeholder)>;

// No line on the wire is longer (RFC 5321 4.5.3.1.6): the most a body line may hold, in characters and bytes.
constexpr int MaxLineLength = 998;

// The value of the record's field of that name (any case); nullopt when the table has no such field.
using NamedLookup = std::function<std::optional<std::string>(std::string_view name)>;
// Applied to every value put into a text, e.g. HTML-escape or percent-encode; unset puts values as they are.
using ValueEscaper = std::function<std::string(std::string_view value)>;

// The source with %N, %O, %E and %D replaced by the record's values (the subject's rule).
// Only capital letters are placeholders; any other character after '%' keeps the '%'; a trailing '%' disappears.
// With a named lookup, {FIELD} stands for that field's value and {FIELD|text} gives text for an empty (or blank)
// value; "{{" and "}}" are literal braces; a {NAME} the table does not have stays as written, for the check to
// name. Values, never the source's own text, pass through escape.
std::string Personalise(std::string_view source, const FieldLookup& field, const NamedLookup& named = {},
                        const ValueEscaper& escape = {});
// A field's value as UTF-8 text: converted from the table's code page, or as stored when there is none.
std::string FieldText(const TField& field, const TCodePage* codePage);
// {FIELD} looked up in the table's current record (names in any case), as FieldText gives the value.
NamedLookup TableLookup(const TTable& table, const TCodePage* codePage);
// Only the {FIELD} rule of Personalise: for texts where "%" is not a placeholder (a link, a file name).
std::string ExpandFields(std::string_view source, const NamedLookup& named, const ValueEscaper& escape = {});
// The distinct field names of a text's {FIELD}s, in order of first appearance, as written.
std::vector<std::string> FieldNames(std::string_view text);
// "<", ">", "&" and both quotes as character references: a value put into HTML stays text.
std::string HtmlEscape(std::string_view value);
// Personalise for the HTML version: values HTML-escaped, and inside an unquoted attribute blanks and "=" too, so
// that no value ends the attribute. A URL attribute (href, src, action, ...) whose value holds a substituted
// value must give an http, https or mailto URL: else problem says why (and the record is not to be sent).
std::string PersonaliseHtml(std::string_view source, const FieldLookup& field, const NamedLookup& named,
                            std::string& problem);
// The attributes of the HTML that hold a placeholder or {FIELD} without quotes around their value, by name.
std::vector<std::string> UnquotedAttributeFields(std::string_view html);
// The same, followed by the footer (the body's rule).
std::string ReplaceVariables(std::string_view source, const FieldLookup& field, const NamedLookup& named = {});

// Hands out the next body line of UTF-8 text from pos, at most width characters before trimming, broken after
// the last blank, tab or hyphen that fits; CR LF ends a line. Advances pos; more is false once the text is used
// up (that last, empty line is not to be sent). Every call makes progress: a word longer than the width is cut.
// A link (http://, https://, mailto:, www.) is never broken: it moves whole to the next line, and one longer
// than the width stands whole on a line of its own. A width of 0 or less, or above MaxLineLength, means
// MaxLineLength; no line exceeds MaxLineLength characters nor min(maxLen, MaxLineLength) bytes. A line "-- "
// (the signature separator) keeps its trailing blank.
std::string NextBodyLine(std::string_view text, size_t& pos, int width, int maxLen, bool& more);

// A header mailbox: the display name, then the address in angle brackets. A name holding a comma, semicolon,
// colon, brackets, "@", quote or backslash is quoted (RFC 5322 3.4), so "Berg, Anna" stays one recipient.
std::string Mailbox(std::string_view name, std::string_view address);

} // namespace MessageText
