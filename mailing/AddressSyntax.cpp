// RFC 5321 4.1.2 Mailbox syntax, extended by RFC 6531 3.3 for UTF-8 local parts and domains.
#include "mailing/AddressSyntax.h"

#include "framework/core/Text.h"

#include <QUrl>

#include <algorithm>
#include <cstring>

namespace AddressSyntax {

namespace {

bool Letter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// atext of RFC 5322 3.2.3, as RFC 5321's Atom takes it.
bool AtomChar(unsigned char c) {
    return Letter(c) || (c != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

// Characters no one can see (a byte-order mark, zero-width and direction marks, a soft hyphen): an address holding
// one is a trap or a copying accident.
bool Invisible(char32_t code) {
    return code == 0xAD || (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF;
}

// The length of the well-formed UTF-8 character at pos whose first byte is above 127; 0 when it is none or
// invisible.
size_t Utf8Length(std::string_view text, size_t pos) {
    size_t next = pos;
    bool valid = false;
    const char32_t code = Text::NextCharacter(text, next, &valid);
    return valid && !Invisible(code) ? next - pos : 0;
}

std::string Quoted(unsigned char c) {
    return "\"" + std::string(1, static_cast<char>(c)) + "\"";
}

// Dot-string: atoms between single dots; "" when it is one.
std::string DotStringProblem(std::string_view local) {
    if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string_view::npos)
        return "a dot at the start or end, or two dots in a row, before the \"@\" of the e-mail address";
    for (size_t i = 0; i < local.size(); ++i) {
        const auto c = static_cast<unsigned char>(local[i]);
        if (c >= 0x80) {
            if (const size_t n = Utf8Length(local, i); n > 0) {
                i += n - 1;
                continue;
            }
            return "bytes that are no UTF-8 text, or an invisible character, in the e-mail address";
        }
        if (c != '.' && !AtomChar(c))
            return Quoted(c) + " before the \"@\" of the e-mail address (allowed only in quotes)";
    }
    return {};
}

// Quoted-string: printable ASCII (and UTF-8) between quotes, '"' and '\' only as a quoted pair.
std::string QuotedStringProblem(std::string_view local) {
    if (local.size() < 2 || local.back() != '"')
        return "an unclosed quote before the \"@\" of the e-mail address";
    for (size_t i = 1; i + 1 < local.size(); ++i) {
        const auto c = static_cast<unsigned char>(local[i]);
        if (c == '\\' && i + 2 < local.size() && local[i + 1] >= 32 && local[i + 1] <= 126)
            ++i;
        else if (c == '\\' || c == '"')
            return "an unclosed quote before the \"@\" of the e-mail address";
        else if (c >= 0x80 && Utf8Length(local, i) > 0)
            i += Utf8Length(local, i) - 1;
        else if (c < 32 || c > 126)
            return "bytes that are no UTF-8 text, or an invisible character, in the e-mail address";
    }
    return {};
}

// A domain of letters, digits and inner hyphens between dots (U-labels of any UTF-8 letters), or an address
// literal in brackets.
std::string DomainProblem(std::string_view domain) {
    if (domain.front() == '[') {
        if (domain.back() != ']' || domain.size() < 3)
            return "an unclosed \"[\" in the domain of the e-mail address";
        for (const char c : domain.substr(1, domain.size() - 2))
            if (!Letter(static_cast<unsigned char>(c)) && std::strchr(".:-", c) == nullptr)
                return Quoted(static_cast<unsigned char>(c)) + " in the domain of the e-mail address";
        return {};
    }
    size_t label = 0; // the start of the current label
    for (size_t i = 0; i <= domain.size(); ++i) {
        const auto c = i < domain.size() ? static_cast<unsigned char>(domain[i]) : '.';
        if (c == '.') {
            if (i == label || domain[i - 1] == '-' || domain[label] == '-')
                return "an empty label, or a hyphen at its start or end, in the domain of the e-mail address";
            label = i + 1;
        } else if (c >= 0x80) {
            const size_t n = Utf8Length(domain, i);
            if (n == 0)
                return "bytes that are no UTF-8 text, or an invisible character, in the e-mail address";
            i += n - 1;
        } else if (!Letter(c) && c != '-') {
            return Quoted(c) + " in the domain of the e-mail address";
        }
    }
    return {};
}

} // namespace

std::string Problem(std::string_view address) {
    if (address.empty())
        return "no e-mail address";
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos)
        return "no \"@\" in the e-mail address";
    if (at == 0)
        return "nothing before the \"@\" of the e-mail address";
    if (at + 1 == address.size())
        return "no domain in the e-mail address";
    const std::string_view local = address.substr(0, at);
    if (std::string fault = local.front() == '"' ? QuotedStringProblem(local) : DotStringProblem(local); !fault.empty())
        return fault;
    return DomainProblem(address.substr(at + 1));
}

bool NonAsciiLocalPart(std::string_view address) {
    const std::string_view local = address.substr(0, address.rfind('@'));
    for (const char c : local)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

std::string AsciiDomain(std::string_view address) {
    const size_t at = address.rfind('@');
    if (at == std::string_view::npos ||
        std::none_of(address.begin() + at, address.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return std::string(address);
    const std::string_view domain = address.substr(at + 1);
    const QByteArray ace = QUrl::toAce(QString::fromUtf8(domain.data(), static_cast<qsizetype>(domain.size())));
    return ace.isEmpty() ? std::string(address) : std::string(address.substr(0, at + 1)) + ace.toStdString();
}

} // namespace AddressSyntax
