// The SASL mechanisms of SMTP AUTH (RFC 4954): which one to use, and the responses each sends.
#pragma once

#include <string>
#include <vector>

namespace SmtpAuth {

enum class TMechanism { None, Plain, Login, CramMd5 };

// Over an encrypted connection PLAIN goes first (the secret is protected and every server knows it); over clear
// text CRAM-MD5 goes first, since it never sends the password itself.
TMechanism Choose(const std::vector<std::string>& offered, bool encrypted);
const char* Name(TMechanism mechanism);

// The line that cancels an exchange (RFC 4954 4).
inline const std::string Cancel = "*";

std::string Base64(const std::string& bytes);
// The decoded text; false when text is not base64.
bool FromBase64(const std::string& text, std::string& bytes);
// RFC 4616: base64 of NUL, user, NUL, password.
std::string PlainResponse(const std::string& user, const std::string& password);
// RFC 2195: base64 of the user, a blank and the HMAC-MD5 of the challenge keyed with the password, in lower-case
// hex. challenge is the base64 text after "334 ". Cancel when the challenge is not base64.
std::string CramMd5Response(const std::string& user, const std::string& password, const std::string& challenge);

} // namespace SmtpAuth
