// Personalised list headers: the unsubscribe link and mailto URL of each recipient, List-Id and Reply-To.
#include "mailing/ListHeaders.h"

#include "framework/core/Text.h"

#include <cstring>

namespace {

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// A header value never holds a line break: it would start a header of its own.
std::string OneLine(const std::string& value) {
    return Text::Trim(Text::OneLine(value));
}

} // namespace

TListHeaders::TListHeaders(std::string link, std::string address, std::string listId, std::string replyTo,
                           std::string nameField)
    : FLink(OneLine(std::move(link))), FAddress(OneLine(std::move(address))), FListId(OneLine(std::move(listId))),
      FReplyTo(OneLine(std::move(replyTo))), FNameField(std::move(nameField)) {}

bool TListHeaders::Empty() const {
    return FLink.empty() && FAddress.empty() && FListId.empty() && FReplyTo.empty();
}

std::string TListHeaders::PersonalLink(const std::string& email, const MessageText::NamedLookup& field) const {
    const auto encode = [](std::string_view value) { return PercentEncode(Text::Trim(value)); };
    std::string link;
    for (size_t i = 0; i < FLink.size(); ++i) {
        const char c = FLink[i];
        if (c == '%' && i + 1 < FLink.size() && (FLink[i + 1] == 'E' || FLink[i + 1] == 'N')) {
            const bool name = FLink[++i] == 'N';
            link += encode(name ? (FNameField.empty() ? std::string() : field(FNameField).value_or(std::string()))
                                : email);
        } else {
            link += c;
        }
    }
    // The values put in so far are percent-encoded and hold no brace to be taken for a field.
    return MessageText::ExpandFields(link, field, encode);
}

std::vector<TMailMessage::TField> TListHeaders::Fields(const std::string& email, const MessageText::NamedLookup& field) const {
    std::vector<TMailMessage::TField> fields;
    if (!FReplyTo.empty())
        fields.push_back({"Reply-To", FReplyTo});
    if (!FListId.empty())
        fields.push_back({"List-Id", ListIdValue(FListId)});
    std::string unsubscribe;
    if (!FLink.empty())
        unsubscribe = "<" + PersonalLink(email, field) + ">";
    if (!FAddress.empty()) {
        // RFC 6068: the list's address as the path, the request in the subject, whose address in the body.
        std::string mailto = "<mailto:";
        for (char c : FAddress)
            mailto += c == '@' ? std::string(1, c) : PercentEncode(std::string_view(&c, 1));
        mailto += "?subject=unsubscribe&body=" + PercentEncode(Text::Trim(email)) + ">";
        unsubscribe += (unsubscribe.empty() ? "" : ", ") + mailto;
    }
    if (!unsubscribe.empty())
        fields.push_back({"List-Unsubscribe", unsubscribe});
    // RFC 8058 3.1: the one-click POST goes to the https URI only, never to a mailto.
    if (!FLink.empty())
        fields.push_back({"List-Unsubscribe-Post", "List-Unsubscribe=One-Click"});
    return fields;
}

std::string TListHeaders::PercentEncode(std::string_view value) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size() * 3);
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (Unreserved(c)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += Hex[c >> 4];
            encoded += Hex[c & 0x0F];
        }
    }
    return encoded;
}

std::string TListHeaders::ListIdValue(std::string_view listId) {
    const std::string id = Text::Trim(listId);
    if (id.find('<') != std::string::npos)
        return id;
    return "<" + id + ">";
}

std::string TListHeaders::ListIdProblem(std::string_view listId) {
    const std::string value = ListIdValue(listId);
    const size_t open = value.rfind('<');
    const size_t close = value.rfind('>');
    if (close == std::string::npos || close < open || close + 1 != value.size())
        return "the list's identifier must end the value, in angle brackets, as in Members' newsletter "
               "<news.example.org>";
    const std::string id = value.substr(open + 1, close - open - 1);
    // RFC 2919 2: list-label "." list-id-namespace, a dot-atom; the namespace is a domain the sender controls.
    bool dot = false;
    bool good = !id.empty() && id.front() != '.' && id.back() != '.' && id.find("..") == std::string::npos;
    for (const char c : id) {
        dot = dot || c == '.';
        good = good && (Unreserved(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+/=?^`{|}", c) != nullptr);
    }
    if (!good || !dot)
        return "the list's identifier \"" + id + "\" must be a name with a dot and no blanks, such as "
               "news.example.org";
    return {};
}

