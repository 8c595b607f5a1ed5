// The maker's names and addresses, shown in the About box and the footer of every message.
#pragma once

namespace Maker {

inline constexpr const char* Name = "Quorvel Software Systems";
inline constexpr const char* WebAddress = "https://quorvel.example/mailer";
inline constexpr const char* MailAddress = "mailer@quorvel.example";

} // namespace Maker
