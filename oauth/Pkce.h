// Proof Key for Code Exchange (RFC 7636) and the state value of the authorization request (RFC 6749 10.12).
#pragma once

#include <QByteArray>

namespace Pkce {

// 64 characters from the unreserved set, from the system's random source (RFC 7636 4.1).
QByteArray Verifier();
// BASE64URL(SHA256(verifier)) without padding: the S256 method (RFC 7636 4.2).
QByteArray Challenge(const QByteArray& verifier);
// An unguessable value tying the browser's answer to this sign-in.
QByteArray State();

} // namespace Pkce
