// What a mailing is about to do: counts and records to look at, from one walk over the scope.
#include "mailing/PreflightSummary.h"

#include "mailing/AddressSyntax.h"
#include "mailing/MailingRun.h"
#include "mailing/MessageText.h"
#include "framework/core/Text.h"
#include "smtp/AttachmentPart.h"
#include "smtp/MessageComposer.h"
#include "table/CodePage.h"
#include "table/Table.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <unordered_map>

namespace {

// The line the composer reads from the body bounds every line, wrapped or not.
constexpr int FeedLineLimit = TMessageComposer::MaxLineLength;

// Characters of UTF-8 text: every byte that does not continue a character.
int Characters(std::string_view text) {
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The longest line the feed hands out for text, wrapped at width.
int LongestWrapped(std::string_view text, int width) {
    int longest = 0;
    size_t pos = 0;
    bool more = true;
    while (more) {
        const std::string line = MessageText::NextBodyLine(text, pos, width, FeedLineLimit, more);
        // The call that uses the text up returns a line the feed does not send.
        if (more)
            longest = std::max(longest, Characters(line));
    }
    return longest;
}

// The longest sent line of each recipient's body. Text lines wrap one by one, so only those holding a mapped
// placeholder are personalised and wrapped per record; the others, and the footer, are measured once.
class TBodyLines {
public:
    TBodyLines(const TPreflightMailing& mailing) : FWidth(mailing.WrapColumn) {
        const MessageText::FieldLookup none = [](char) { return std::string(); };
        const std::string& body = mailing.Body;
        for (size_t start = 0;;) {
            const size_t end = body.find("\r\n", start);
            const bool last = end == std::string::npos;
            TLine line{body.substr(start, last ? std::string::npos : end + 2 - start), last};
            bool personal = false;
            for (char placeholder : MessageText::Placeholders(line.Text))
                personal = personal || !mailing.FieldFor(placeholder).empty();
            personal = personal || !MessageText::FieldNames(line.Text).empty();
            if (personal)
                FPersonal.push_back(std::move(line));
            else
                FFixed = std::max(FFixed, LongestWrapped(Personalise(line, none), FWidth));
            if (last)
                break;
            start = end + 2;
        }
        // The footer's first line break ends the body's last line (see Personalise).
        if (mailing.AddFooter)
            FFixed = std::max(FFixed, LongestWrapped(std::string_view(MessageText::Footer()).substr(2), FWidth));
    }

    int Longest(const MessageText::FieldLookup& lookup, const MessageText::NamedLookup& named) const {
        int longest = FFixed;
        for (const TLine& line : FPersonal)
            longest = std::max(longest, LongestWrapped(Personalise(line, lookup, named), FWidth));
        return longest;
    }

private:
    struct TLine {
        std::string Text; // with its CR LF, except the last line of the body
        bool Last = false;
    };

    static std::string Personalise(const TLine& line, const MessageText::FieldLookup& lookup,
                                   const MessageText::NamedLookup& named = {}) {
        std::string text = MessageText::Personalise(line.Text, lookup, named);
        if (line.Last)
            text += "\r\n";
        return text;
    }

    int FWidth;
    int FFixed = 0;
    std::vector<TLine> FPersonal;
};

} // namespace

TPreflightSummary::TPreflightSummary(const TPreflightMailing& mailing)
    : FOncePerAddress(mailing.OncePerAddress), FListed(mailing.Suppressed != nullptr),
      FListNotAddresses(mailing.Suppressed ? mailing.Suppressed->NotAddresses() : 0),
      FUnsubscribeLink(mailing.UnsubscribeLink), FFromDomain(mailing.FromDomain), FDkimDomain(mailing.DkimDomain),
      FWrapColumn(mailing.WrapColumn), FCheckWarnings(mailing.Warnings) {
    FindUnmapped(mailing);
    FUnquoted = MessageText::UnquotedAttributeFields(mailing.Html);
    Walk(mailing);
}

void TPreflightSummary::FindUnmapped(const TPreflightMailing& mailing) {
    for (const auto& [text, where] : {std::pair<std::string_view, const char*>{mailing.Subject, " in the subject"},
                                      std::pair<std::string_view, const char*>{mailing.Body, " in the body"}})
        for (char placeholder : MessageText::Placeholders(text))
            if (mailing.FieldFor(placeholder).empty())
                FUnmapped.push_back(std::string("%") + placeholder + where);
}

void TPreflightSummary::Walk(const TPreflightMailing& mailing) {
    TTable table;
    table.SetReadOnly(true);
    table.SetTableType(ttXbFOX);
    table.SetTableName(mailing.TablePath);
    table.Open();

    // Fields are looked up once: a name that is not in the table fails here, as in the check.
    const auto field = [&table](const std::string& name) { return name.empty() ? nullptr : &table.FieldByName(name); };
    TField* const fields[] = {field(mailing.NameField), field(mailing.OrganizationField), field(mailing.EmailField),
                              field(mailing.DearField)};

    // A {FIELD} the table does not have is left in every message as written.
    for (const auto& [text, where] : {std::pair<std::string_view, const char*>{mailing.Subject, " in the subject"},
                                      std::pair<std::string_view, const char*>{mailing.Body, " in the body"},
                                      std::pair<std::string_view, const char*>{mailing.Html, " in the HTML version"}})
        for (const std::string& name : MessageText::FieldNames(text))
            if (!table.FindField(Text::UpperAscii(name)))
                FUnmapped.push_back("{" + name + "}" + where);

    const std::unique_ptr<TCodePage> codePage =
        mailing.CodePage.empty() ? nullptr : std::make_unique<TCodePage>(mailing.CodePage);
    const MessageText::NamedLookup named = MessageText::TableLookup(table, codePage.get());
    const TBodyLines bodyLines(mailing);
    // What every message holds besides the record's own files: header, text, HTML and the files for everyone.
    FRecordFiles = !mailing.AttachmentField.empty();
    FPlainSize = 1024 + mailing.Body.size() + MessageText::Footer().size();
    const uint64_t fixedSize = FPlainSize + mailing.Html.size() + mailing.SharedFileBytes;
    std::string values[4];
    const MessageText::FieldLookup lookup = [&values](char placeholder) {
        return values[placeholder == 'N' ? 0 : placeholder == 'O' ? 1 : placeholder == 'E' ? 2 : 3];
    };

    const bool scoped = mailing.ScopeTo > 0;
    int position = 0;
    if (scoped && mailing.ScopeFrom > 1)
        position = table.MoveBy(mailing.ScopeFrom - 1);
    const int last = scoped ? mailing.ScopeTo : INT_MAX;
    // Record numbers in the file run on over deleted records; the gaps between them are what the run passes over.
    int previous = scoped ? table.RecNo() - 1 : 0;
    std::unordered_map<std::string, int> seen;
    seen.reserve(static_cast<size_t>(std::min(table.FileRecordCount(), last - position)));
    while (!table.Eof() && position < last) {
        ++position;
        ++FRecords;
        FDeleted += table.RecNo() - previous - 1;
        previous = table.RecNo();
        // What the run does not take it does not read either: no counts, nothing to look at.
        if (mailing.Take && !mailing.Take(table.RecNo())) {
            ++FNotTaken;
            table.Next();
            continue;
        }

        std::string undecodable;
        for (int i = 0; i < 4; ++i) {
            values[i].clear();
            if (!fields[i])
                continue;
            const std::string& bytes = fields[i]->AsString();
            size_t badAt = 0;
            if (!codePage)
                values[i] = bytes;
            else if (!codePage->ToUtf8(bytes, values[i], badAt) && undecodable.empty())
                undecodable = fields[i]->FieldName() + ": " + codePage->DescribeBadByte(bytes, badAt);
        }
        const std::string& name = values[0];
        const std::string address = Text::Trim(values[2]);
        if (!undecodable.empty()) {
            ++FUndecodable;
            Add(table.RecNo(), name, address, std::move(undecodable));
        }
        // Only a record with a usable address gets a message.
        if (CheckAddress(table.RecNo(), name, address, mailing.Suppressed.get())) {
            FLongestLine = std::max(FLongestLine, bodyLines.Longest(lookup, named));
            uint64_t size = fixedSize;
            const bool filesThere = CheckFiles(mailing, named, table.RecNo(), name, address, size);
            FLargestMessage = std::max(FLargestMessage, size);
            const bool sent = mailing.AlreadySent.count(table.RecNo()) > 0;
            FAlreadySent += static_cast<int>(sent);
            FMissingNotSent += static_cast<int>(!filesThere && !sent);
            // The run skips a record whose file is missing before it notes the address: a later record of the
            // same address still gets the message. One that got it before is not read, its address is noted.
            const bool duplicate = (filesThere || sent) && NoteAddress(table.RecNo(), name, address, seen);
            FDuplicatesNotSent += static_cast<int>(duplicate && !sent);
        }
        table.Next();
    }
    if (!scoped)
        FDeleted += table.FileRecordCount() - previous;
}

bool TPreflightSummary::CheckFiles(const TPreflightMailing& mailing, const MessageText::NamedLookup& named,
                                   int recNo, const std::string& name, const std::string& address, uint64_t& size) {
    if (mailing.AttachmentField.empty())
        return true;
    std::vector<TMailMessage::TAttachment> files;
    std::string missing;
    const std::optional<std::string> names = named(mailing.AttachmentField);
    const TMailingRun::TRecordFiles found =
        TMailingRun::RecordAttachments(names.value_or(""), named, mailing.AttachmentFolder, files, missing);
    if (found != TMailingRun::TRecordFiles::Ready) {
        ++(found == TMailingRun::TRecordFiles::Missing ? FMissingFiles : FRefusedFiles);
        Add(recNo, name, address, std::move(missing));
    }
    for (const TMailMessage::TAttachment& file : files) {
        TAttachmentPart part;
        if (part.Open(file))
            size += part.WireSize() + 300;
    }
    return found == TMailingRun::TRecordFiles::Ready;
}

bool TPreflightSummary::CheckAddress(int recNo, const std::string& name, const std::string& address,
                                     const TSuppressionList* suppressed) {
    if (address.empty()) {
        ++FWithoutAddress;
        Add(recNo, name, address, "no e-mail address");
        return false;
    }
    // The run passes over a malformed address as it does over a blank one.
    if (std::string fault = TMailingRun::AddressProblem(address); !fault.empty()) {
        ++FMalformed;
        Add(recNo, name, address, std::move(fault));
        return false;
    }
    if (suppressed && suppressed->Contains(address)) {
        ++FSuppressed;
        Add(recNo, name, address, TMailingRun::SuppressedReason);
        return false;
    }
    FNonAscii += static_cast<int>(AddressSyntax::NonAsciiLocalPart(address));
    return true;
}

bool TPreflightSummary::NoteAddress(int recNo, const std::string& name, const std::string& address,
                                    std::unordered_map<std::string, int>& seen) {
    // Mail systems treat the domain, and in practice the local part, without regard to case.
    const auto [first, added] = seen.try_emplace(Text::UpperAscii(address), recNo);
    if (!added) {
        ++FDuplicates;
        Add(recNo, name, address, "same address as record " + std::to_string(first->second));
    }
    return !added;
}

void TPreflightSummary::Add(int recNo, const std::string& name, const std::string& address, std::string reason) {
    FToLookAt.push_back({recNo, name, address, std::move(reason)});
}

std::vector<std::pair<std::string, std::string>> TPreflightSummary::Lines(bool sendAgain) const {
    std::string unmapped;
    for (const std::string& placeholder : FUnmapped)
        unmapped += (unmapped.empty() ? "" : ", ") + placeholder;
    std::string longest = std::to_string(FLongestLine) + " characters";
    if (FWrapColumn > 0)
        longest += " (wrapped at " + std::to_string(std::min(FWrapColumn, MessageText::MaxLineLength)) + ")";
    else
        longest += " (not wrapped)";
    std::vector<std::pair<std::string, std::string>> lines{{"Records in the scope:", std::to_string(FRecords)},
                                                           {"Messages to send:", std::to_string(ToSend(sendAgain))}};
    // Lines of a resumed or retrying run, and of a message sent before, only when they apply.
    if (FNotTaken > 0)
        lines.push_back({"Done in earlier runs:", std::to_string(FNotTaken)});
    if (FAlreadySent > 0)
        lines.push_back({"Already sent this message:", std::to_string(FAlreadySent)});
    if (FListed)
        lines.push_back({"On the suppression list:", std::to_string(FSuppressed)});
    // Lines that suppress nobody: a name, a typo, an address in another form the user meant to block.
    if (FListNotAddresses > 0)
        lines.push_back({"Lines of the suppression list that are no address:", std::to_string(FListNotAddresses)});
    // Sent only if the server offers SMTPUTF8, which is known once connected.
    if (FNonAscii > 0)
        lines.push_back({"Addresses the server cannot take (non-ASCII):", std::to_string(FNonAscii)});
    lines.insert(lines.end(), {{"Deleted records passed over:", std::to_string(FDeleted)},
                               {"Records without an e-mail address:", std::to_string(FWithoutAddress)},
                               {"Malformed addresses:", std::to_string(FMalformed)},
                               {"Duplicate addresses:", std::to_string(FDuplicates)},
                               {"Records with text that does not decode:", std::to_string(FUndecodable)},
                               {"Placeholders without a field:", unmapped.empty() ? std::string("none") : unmapped},

                               {"Longest body line:", longest}});
    for (std::string& warning : Warnings(sendAgain))
        lines.push_back({"Warning:", std::move(warning)});
    // Only for a mailing with files or an HTML version: a plain one is summed up as before.
    if (FRecordFiles)
        lines.push_back({"Records whose attachment is missing:", std::to_string(FMissingFiles)});
    if (FRecordFiles && FRefusedFiles > 0)
        lines.push_back({"Records whose attachment is refused:", std::to_string(FRefusedFiles)});
    if (FRecordFiles || FLargestMessage > FPlainSize)
        lines.push_back({"Largest message:", TMessageComposer::SizeText(FLargestMessage)});
    return lines;
}

std::vector<std::string> TPreflightSummary::Warnings(bool sendAgain) const {
    std::vector<std::string> warnings;
    // Large providers count bulk senders from about 5,000 messages a day and then ask for one-click unsubscribe.
    if (const int messages = ToSend(sendAgain); messages > 1000 && !FUnsubscribeLink)
        warnings.push_back(std::to_string(messages) +
                           " messages without an unsubscribe link: large mailbox providers expect bulk mail to offer "
                           "one-click unsubscribe (an https link, see List...).");
    // DMARC passes on DKIM only when the signing domain is the From domain (or its parent, RFC 7489 3.1.1).
    const std::string from = Text::UpperAscii(FFromDomain);
    const std::string signer = Text::UpperAscii(FDkimDomain);
    const bool aligned = from == signer || (from.size() > signer.size() && from.ends_with("." + signer));
    if (!signer.empty() && !aligned)
        warnings.push_back("Messages are signed for " + FDkimDomain + " but sent from " + FFromDomain +
                           ": receivers that check DMARC will not count the signature for the sender.");
    warnings.insert(warnings.end(), FCheckWarnings.begin(), FCheckWarnings.end());
    // A value in an attribute without quotes could end it; the run escapes it, but the HTML is fragile.
    if (!FUnquoted.empty())
        warnings.push_back("The HTML version puts a field into " + FUnquoted.front() + "= without quotes: write " +
                           FUnquoted.front() + "=\"{FIELD}\" so that a value stays inside.");
    return warnings;
}
