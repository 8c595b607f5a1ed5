// The list headers of a bulk message, personalised per recipient: List-Unsubscribe (an https link and/or a mailto
// address, RFC 2369), List-Unsubscribe-Post for one-click unsubscribing (RFC 8058), List-Id (RFC 2919), Reply-To.
#pragma once

#include "mailing/MessageText.h"
#include "smtp/MailMessage.h"

#include <string>
#include <string_view>
#include <vector>

class TListHeaders {
public:
    // Values as the user typed them (UTF-8); empty ones give no header. link is a URL template: %E, %N and
    // {FIELD} are replaced by the recipient's address, name and field, each percent-encoded.
    TListHeaders(std::string link, std::string address, std::string listId, std::string replyTo,
                 std::string nameField);

    bool Empty() const;
    const std::string& Link() const { return FLink; }
    // The link of one recipient, each value percent-encoded (RFC 3986 2.1: UTF-8 bytes, unreserved kept); its
    // {FIELD}s follow the message text's rule. Any other "%" stays, as URLs have their own escapes.
    std::string PersonalLink(const std::string& email, const MessageText::NamedLookup& field) const;
    // The header fields of one recipient; the composer encodes and folds them.
    std::vector<TMailMessage::TField> Fields(const std::string& email, const MessageText::NamedLookup& field) const;

    // Every byte but the unreserved characters of RFC 3986 2.3 as %XX: "+", "&", "/", "@", non-ASCII.
    static std::string PercentEncode(std::string_view value);
    // The List-Id value: the name as given, the identifier in angle brackets (a bare identifier gets them).
    static std::string ListIdValue(std::string_view listId);
    // Why a typed list identifier cannot be used (RFC 2919 2: a dot-atom, such as news.example.org); empty if it can.
    static std::string ListIdProblem(std::string_view listId);

private:
    std::string FLink;
    std::string FAddress;
    std::string FListId;
    std::string FReplyTo;
    std::string FNameField;
};
