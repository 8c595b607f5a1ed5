// The text logic of one personalised message.
#include "app/MessageText.h"

#include "framework/Maker.h"
#include "framework/Text.h"

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

} // namespace

std::string Footer() {
    return std::string("\r\n\r\nDelivered to you by Quorvel Mailer - get free e-mail software at: ") +
           Maker::WebAddress + "\r\n";
}

std::string ReplaceVariables(std::string_view source, const FieldLookup& field) {
    std::string dest;
    dest.reserve(source.size() + 128);
    bool afterPercent = false;
    for (char ch : source) {
        if (!afterPercent) {
            if (ch == '%')
                afterPercent = true;
            else
                dest += ch;
            continue;
        }
        if (IsPlaceholder(ch)) {
            dest += field(ch);
        } else {
            dest += '%';
            dest += ch;
        }
        afterPercent = false;
    }
    dest += Footer();
    return dest;
}

std::string NextBodyLine(std::string_view text, size_t& pos, int width, int maxLen, bool& more) {
    if (width <= 0 || width > maxLen)
        width = maxLen;
    const size_t len = text.size();
    std::string line;
    std::string word;
    int left = width;
    while (left > 0 && pos < len) {
        const unsigned char ch = static_cast<unsigned char>(text[pos++]);
        if (IsBreak(ch)) {
            const std::string_view kept = BreakText(ch);
            word += kept;
            left -= static_cast<int>(kept.size());
            line += word;
            word.clear();
            if (ch == '\r')
                break;
        } else {
            word += static_cast<char>(ch);
            --left;
        }
    }

    if (pos >= len) {
        line += word;
        word.clear();
    } else if (left == 0 && IsBreak(static_cast<unsigned char>(text[pos]))) {
        // The word ended exactly at the column.
        line += word;
        word.clear();
        // A text line exactly as long as the column ends here, not with an extra empty line.
        if (text[pos] == '\r')
            ++pos;
    } else if (line.empty()) {
        // A word longer than the whole line: cut it at the column so the feed moves on.
        line += word;
        word.clear();
    }
    pos -= word.size();

    more = pos < len;
    return Text::Trim(line);
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

void AddOrganizationHeader(char* msg, int size, std::string_view organization) {
    if (msg == nullptr || size <= 0)
        return;
    const size_t capacity = static_cast<size_t>(size) - 1; // room for the terminating zero
    const size_t used = strnlen(msg, static_cast<size_t>(size));
    if (used < 5 || used > capacity || !Text::SameTextAscii(std::string_view(msg, 5), "From:"))
        return;

    std::string addition = "\r\nOrganization: ";
    if (used + addition.size() > capacity)
        return; // no room for the header at all: leave it out rather than write past the buffer
    std::string value = Text::Trim(organization);
    for (char& c : value)
        if (c == '\r' || c == '\n')
            c = ' '; // a header value never starts a new header line
    addition += value;
    addition.resize(std::min(addition.size(), capacity - used));
    std::memcpy(msg + used, addition.data(), addition.size());
    msg[used + addition.size()] = '\0';
}

} // namespace MessageText
