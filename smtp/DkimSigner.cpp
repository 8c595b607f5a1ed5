// Canonical headers, the DKIM-Signature field and its folding, and the DNS record of a key.
#include "smtp/DkimSigner.h"

#include "smtp/DkimBodyHash.h"
#include "smtp/DkimError.h"

#include <algorithm>
#include <array>

namespace {

// The fields a signature covers when the message has them. All but Content-Transfer-Encoding are signed once more
// than they occur, absent ones included (RFC 6376 8.15): a field added on the way breaks the signature.
constexpr std::array<std::string_view, 18> SignedFields{"from",
                                                        "to",
                                                        "cc",
                                                        "subject",
                                                        "date",
                                                        "message-id",
                                                        "mime-version",
                                                        "content-type",
                                                        "content-transfer-encoding",
                                                        "reply-to",
                                                        "list-id",
                                                        "list-unsubscribe",
                                                        "list-unsubscribe-post",
                                                        "list-help",
                                                        "list-subscribe",
                                                        "list-post",
                                                        "list-owner",
                                                        "list-archive"};

// RFC 1035 2.3.4: 63 bytes a label, 253 a name.
constexpr size_t MaxLabel = 63;
constexpr size_t MaxName = 253;

bool IsWsp(char ch) {
    return ch == ' ' || ch == '\t';
}

// Labels of letters, digits and hyphens, no hyphen at either end (RFC 5321 4.1.2 sub-domain), at least
// minLabels of them.
bool AreLabels(std::string_view name, size_t minLabels) {
    if (name.empty() || name.size() > MaxName)
        return false;
    size_t labels = 0;
    for (size_t start = 0; start <= name.size(); ++labels) {
        const size_t end = std::min(name.find('.', start), name.size());
        const std::string_view label = name.substr(start, end - start);
        if (label.empty() || label.size() > MaxLabel || label.front() == '-' || label.back() == '-')
            return false;
        for (const char ch : label)
            if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-'))
                return false;
        start = end + 1;
    }
    return labels >= minLabels;
}

// Blanks around a value typed or pasted into a field are no part of it.
std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string CheckedDomain(const std::string& typed) {
    std::string domain = Trimmed(typed);
    if (domain.size() > 1 && domain.back() == '.')
        domain.pop_back();
    if (domain.empty())
        throw EDkimError("No DKIM domain is given: enter the domain of the From address, e.g. example.org.");
    // RFC 6376 3.5: d= is a domain name of two labels or more.
    if (!AreLabels(domain, 2))
        throw EDkimError("The DKIM domain \"" + domain +
                         "\" is not a domain name: it needs labels of letters, digits and hyphens separated by "
                         "dots, e.g. example.org (an international name in its xn-- form).");
    return domain;
}

std::string CheckedSelector(const std::string& typed) {
    const std::string selector = Trimmed(typed);
    if (selector.empty())
        throw EDkimError("No DKIM selector is given: enter the name the key is published under, e.g. mail2026.");
    if (!AreLabels(selector, 1))
        throw EDkimError("The DKIM selector \"" + selector +
                         "\" is not a DNS name: use letters, digits and hyphens, e.g. mail2026.");
    return selector;
}

struct TField {
    std::string Name;  // lower case
    std::string Value; // unfolded, as received
};

// Header lines as fields; a line starting with a blank continues the field before it.
std::vector<TField> Fields(const std::vector<std::string>& lines) {
    std::vector<TField> fields;
    for (const std::string& line : lines) {
        if (!line.empty() && IsWsp(line.front()) && !fields.empty()) {
            fields.back().Value += line;
            continue;
        }
        const size_t colon = std::min(line.find(':'), line.size());
        std::string name = line.substr(0, colon);
        while (!name.empty() && IsWsp(name.back()))
            name.pop_back();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
        fields.push_back({std::move(name), line.substr(std::min(colon + 1, line.size()))});
    }
    return fields;
}

// RFC 6376 3.4.2: "name:value" with blanks collapsed and trimmed, the name in lower case.
std::string Canonical(const TField& field) {
    std::string value;
    for (const char ch : field.Value) {
        if (!IsWsp(ch))
            value += ch;
        else if (!value.empty() && value.back() != ' ')
            value += ' ';
    }
    if (!value.empty() && value.back() == ' ')
        value.pop_back();
    return field.Name + ":" + value;
}

// Builds folded lines from pieces: a piece goes on the current line when it fits, else on a new one that
// starts with a blank. Base64 values may break anywhere (RFC 6376 3.5: FWS inside them is ignored).
class TFolder {
public:
    explicit TFolder(std::string first) { FLines.push_back(std::move(first)); }
    void Add(std::string_view piece, bool blankBefore) {
        const size_t needed = piece.size() + (blankBefore ? 1 : 0);
        if (FLines.back().size() + needed > TDkimSigner::FoldWidth && FLines.back().size() > 1)
            FLines.emplace_back(" ");
        else if (blankBefore)
            FLines.back() += ' ';
        FLines.back() += piece;
    }
    void AddBreakable(std::string_view text) {
        while (!text.empty()) {
            if (FLines.back().size() >= TDkimSigner::FoldWidth)
                FLines.emplace_back(" ");
            const size_t room = TDkimSigner::FoldWidth - FLines.back().size();
            FLines.back() += text.substr(0, room);
            text.remove_prefix(std::min(room, text.size()));
        }
    }
    std::vector<std::string>& Lines() { return FLines; }

private:
    std::vector<std::string> FLines;
};

} // namespace

std::string TDkimDnsRecord::ZoneLine() const {
    std::string line = Name + ". IN TXT (";
    for (const std::string& piece : Strings)
        line += " \"" + piece + "\"";
    return line + " )";
}

TDkimSigner::TDkimSigner(const std::string& domain, const std::string& selector, const std::string& keyFile)
    : FDomain(CheckedDomain(domain)), FSelector(CheckedSelector(selector)), FKey(keyFile) {
    if (FSelector.size() + FDomain.size() + std::string_view("._domainkey.").size() > MaxName)
        throw EDkimError("The DKIM selector and domain together make a DNS name longer than 253 characters.");
}

TDkimDnsRecord TDkimSigner::DnsRecord() const {
    TDkimDnsRecord record;
    record.Name = FSelector + "._domainkey." + FDomain;
    record.Value = "v=DKIM1; " + FKey.PublicKeyTags();
    // A character-string holds 255 bytes; receivers join the strings of one record without separators.
    for (size_t start = 0; start < record.Value.size(); start += 255)
        record.Strings.push_back(record.Value.substr(start, 255));
    return record;
}

std::vector<std::string> TDkimSigner::SignatureLines(const std::vector<std::string>& headerLines,
                                                     const std::string& bodyHash, std::time_t when) const {
    const std::vector<TField> fields = Fields(headerLines);
    // Fields are picked from the bottom up per name (RFC 6376 5.4.2); listing a name once per occurrence
    // covers all of them.
    std::vector<std::string> names;
    for (const std::string_view name : SignedFields) {
        size_t count = std::count_if(fields.begin(), fields.end(), [&](const TField& f) { return f.Name == name; });
        if (name != "content-transfer-encoding")
            ++count;
        names.insert(names.end(), count, std::string(name));
    }
    std::string data;
    std::vector<bool> used(fields.size(), false);
    for (const std::string& name : names) {
        for (size_t i = fields.size(); i-- > 0;) {
            if (!used[i] && fields[i].Name == name) {
                used[i] = true;
                data += Canonical(fields[i]) + "\r\n";
                break;
            }
        }
    }

    TFolder folder("DKIM-Signature:");
    for (const std::string& tag :
         {std::string("v=1;"), std::string("a=") + FKey.Algorithm() + ";", std::string("c=relaxed/relaxed;"),
          "d=" + FDomain + ";", "s=" + FSelector + ";", "t=" + std::to_string(static_cast<long long>(when)) + ";"})
        folder.Add(tag, true);
    for (size_t i = 0; i < names.size(); ++i)
        folder.Add((i == 0 ? "h=" : "") + names[i] + (i + 1 < names.size() ? ":" : ";"), i == 0);
    folder.Add("bh=" + bodyHash + ";", true);
    folder.Add("b=", true);
    // What is signed is the field as it will stand, with the b= value empty (RFC 6376 3.7).
    TField self{"dkim-signature", {}};
    for (const std::string& line : folder.Lines())
        self.Value += line;
    self.Value.erase(0, std::string_view("DKIM-Signature:").size());
    data += Canonical(self);
    folder.AddBreakable(FKey.Sign(data));
    return std::move(folder.Lines());
}

void TDkimSigner::PutSigned(const std::vector<std::string>& headerLines, const TBodySource& body, const TLineSink& put,
                            std::time_t when) const {
    TDkimBodyHash hash;
    body([&hash](std::string_view line) { hash.AddLine(line); });
    for (const std::string& line : SignatureLines(headerLines, hash.Finish(), when))
        put(line);
    for (const std::string& line : headerLines)
        put(line);
    put("");
    body(put);
}
