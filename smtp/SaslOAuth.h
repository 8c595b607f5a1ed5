// The SASL mechanisms that log in with an OAuth 2.0 access token: XOAUTH2 and OAUTHBEARER (RFC 7628).
#pragma once

#include <string>
#include <vector>

namespace SaslOAuth {

enum class TMechanism { None, XOAuth2, OAuthBearer };

// OAUTHBEARER, the standard one, when the server offers it; else XOAUTH2, the only one some providers know.
TMechanism Choose(const std::vector<std::string>& offered);
const char* Name(TMechanism mechanism);

// The initial responses, base64 for "AUTH <name> <response>" (RFC 4954 4).
// XOAUTH2: "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(const std::string& user, const std::string& token);
// OAUTHBEARER: "n,a=" user "," ^A "host=" host ^A "port=" port ^A "auth=Bearer " token ^A ^A (RFC 7628 3.1), the
// user escaped as a GS2 saslname (RFC 5801 4: "," as "=2C", "=" as "=3D").
std::string OAuthBearerResponse(const std::string& user, const std::string& host, int port, const std::string& token);

// What a server says when it refuses a token: a 334 whose text is base64 of a JSON object (RFC 7628 3.2.2).
struct TTokenError {
    std::string Status; // "invalid_token", or XOAUTH2's HTTP-like "401"
    std::string Scope;
    std::string Schemes;
};
// Reads the text after "334 "; false when it is not base64 of a JSON object.
bool ReadTokenError(const std::string& challenge, TTokenError& error);
// The line that answers the error challenge, after which the server sends its final 5xx: empty for XOAUTH2; for
// OAUTHBEARER base64 of a single ^A (RFC 7628 3.2.3).
std::string ErrorChallengeAnswer(TMechanism mechanism);
// "status invalid_token, scope https://mail.google.com/" for the log: the server's words, no token.
std::string Describe(const TTokenError& error);

} // namespace SaslOAuth
