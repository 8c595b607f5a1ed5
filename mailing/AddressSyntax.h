// The form of an e-mail address as the envelope carries it: RFC 5321's Mailbox, with the UTF-8 of RFC 6531.
#pragma once

#include <string>
#include <string_view>

namespace AddressSyntax {

// Why the address is no Mailbox (a local part, "@", a domain or an address literal), in the user's words; empty
// when it is one. Non-ASCII letters (valid UTF-8) are allowed in the local part and the domain.
std::string Problem(std::string_view address);

// True when the part before the last "@" holds a byte above 127: only a server that offers SMTPUTF8 takes it.
bool NonAsciiLocalPart(std::string_view address);

// The address with a domain in other letters as its A-label (IDNA: "bücher.de" as "xn--bcher-kva.de"), which every
// server takes; unchanged when the domain is ASCII or is no valid international name.
std::string AsciiDomain(std::string_view address);

} // namespace AddressSyntax
