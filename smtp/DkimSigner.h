// DKIM signatures (RFC 6376, relaxed/relaxed; RFC 8463 for Ed25519) over a message as it goes on the wire,
// and the DNS record that lets receivers check them.
#pragma once

#include "smtp/DkimKey.h"

#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The TXT record a domain publishes for a selector.
struct TDkimDnsRecord {
    // "selector._domainkey.domain"
    std::string Name;
    // "v=DKIM1; k=rsa; p=..."
    std::string Value;
    // Value in character-strings of at most 255 bytes (RFC 1035 3.3), as a TXT record holds it.
    std::vector<std::string> Strings;
    // The record as a zone-file line: name. IN TXT ( "..." "..." )
    std::string ZoneLine() const;
};

class TDkimSigner {
public:
    // One line of a message without its CR LF, before dot-stuffing.
    using TLineSink = std::function<void(std::string_view line)>;
    // Puts the body lines of a message into a sink; called twice with the same lines by PutSigned.
    using TBodySource = std::function<void(const TLineSink& put)>;
    // No DKIM-Signature line is longer than this where the values allow (RFC 5322 2.1.1).
    static constexpr size_t FoldWidth = 78;

    // Checks domain and selector (DNS labels) and reads the key; throws EDkimError with a sentence for the user.
    // Blanks around both and a trailing dot of the domain, as zone files write it, are dropped.
    TDkimSigner(const std::string& domain, const std::string& selector, const std::string& keyFile);

    const std::string& Domain() const { return FDomain; }
    const std::string& Selector() const { return FSelector; }
    const TDkimKey& Key() const { return FKey; }
    TDkimDnsRecord DnsRecord() const;

    // The DKIM-Signature header lines (folded) for a message whose header block is headerLines (as on the
    // wire, folded lines included) and whose body hash is bodyHash (TDkimBodyHash::Finish). The lines go
    // before the header block. Signs From, Subject, To, Cc, Reply-To, Date, Message-ID, MIME-Version,
    // Content-Type and the List-* fields once more than they appear, so a second one added breaks the signature.
    std::vector<std::string> SignatureLines(const std::vector<std::string>& headerLines, const std::string& bodyHash,
                                            std::time_t when) const;
    // The whole message into put: body hashed in a first pass over body, then the signature, the header block,
    // the blank line and the body again. Nothing of the body is held.
    void PutSigned(const std::vector<std::string>& headerLines, const TBodySource& body, const TLineSink& put,
                   std::time_t when) const;

private:
    std::string FDomain;
    std::string FSelector;
    TDkimKey FKey;
};
