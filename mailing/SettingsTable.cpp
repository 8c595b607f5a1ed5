// The rows of the settings table and the one conversion per kind of value.
#include "mailing/SettingsTable.h"

#include "framework/core/SettingsStore.h"

#include <variant>

namespace {

using TMember = std::variant<QString TMailingJob::*, int TMailingJob::*, bool TMailingJob::*>;
using TDefault = std::variant<const char*, int, bool>;

struct TRow {
    const char* Section;
    const char* Ident;
    TMember Member;
    TDefault Default;
};

// In the order the first version read and wrote them; new settings go at the end. Text values are stored as text,
// numbers as integers, switches as "0" or "1"; the security is the index of its choice.
const TRow Rows[] = {
    {"Settings", "SMTP Server", &TMailingJob::Server, ""},
    {"Settings", "Name", &TMailingJob::Name, ""},
    {"Settings", "Organization", &TMailingJob::Organization, ""},
    {"Settings", "Return Address", &TMailingJob::ReturnAddress, ""},
    {"Settings", "Timeout", &TMailingJob::Timeout, 20},
    {"Settings", "Clear Error Log", &TMailingJob::ClearLog, false},
    {"Settings", "Wrap Lines", &TMailingJob::WrapLines, "80"},
    {"Settings", "Database Table", &TMailingJob::Table, ""},
    {"Settings", "Name Field", &TMailingJob::NameField, ""},
    {"Settings", "Organization Field", &TMailingJob::OrganizationField, ""},
    {"Settings", "E-mail Field", &TMailingJob::EmailField, ""},
    {"Settings", "Dear Field", &TMailingJob::DearField, ""},
    {"Message", "Subject", &TMailingJob::Subject, ""},
    {"Message", "Text", &TMailingJob::Text, ""},
    {"Settings", "Limit Scope", &TMailingJob::LimitScope, false},
    {"Settings", "Scope From", &TMailingJob::ScopeFrom, "1"},
    {"Settings", "Scope To", &TMailingJob::ScopeTo, "1"},
    {"Settings", "Code Page", &TMailingJob::CodePage, "Automatic"},
    {"Settings", "SMTP Port", &TMailingJob::Port, ""},
    {"Settings", "Security", &TMailingJob::Security, 0},
    {"Settings", "User Name", &TMailingJob::UserName, ""},
    {"Settings", "Remember Password", &TMailingJob::RememberPassword, false},
    {"Settings", "Allow Clear Password", &TMailingJob::AllowClearPassword, false},
    {"Settings", "Trusted Certificate", &TMailingJob::Certificate, ""},
    {"Settings", "Max Per Minute", &TMailingJob::MaxPerMinute, "0"},
    {"Settings", "Max Per Hour", &TMailingJob::MaxPerHour, "0"},
    {"Settings", "Retry Delays", &TMailingJob::RetryDelays, "1,5,15"},
    {"Settings", "Login", &TMailingJob::Login, 0},
    {"Settings", "OAuth Provider", &TMailingJob::OAuthProvider, "Microsoft 365"},
    {"Settings", "OAuth Client ID", &TMailingJob::OAuthClientId, ""},
    {"Settings", "OAuth Tenant", &TMailingJob::OAuthTenant, "organizations"},
    {"Settings", "OAuth Authorization URL", &TMailingJob::OAuthAuthorizationUrl, ""},
    {"Settings", "OAuth Token URL", &TMailingJob::OAuthTokenUrl, ""},
    {"Settings", "OAuth Scope", &TMailingJob::OAuthScope, ""},
    {"Settings", "OAuth Token Command", &TMailingJob::OAuthTokenCommand, ""},
    {"Settings", "Unsubscribe URL", &TMailingJob::UnsubscribeUrl, ""},
    {"Settings", "Unsubscribe Address", &TMailingJob::UnsubscribeAddress, ""},
    {"Settings", "List ID", &TMailingJob::ListId, ""},
    {"Settings", "Reply To", &TMailingJob::ReplyTo, ""},
    {"Settings", "Suppression List", &TMailingJob::SuppressionList, ""},
    {"Settings", "DKIM Domain", &TMailingJob::DkimDomain, ""},
    {"Settings", "DKIM Selector", &TMailingJob::DkimSelector, ""},
    {"Settings", "DKIM Key File", &TMailingJob::DkimKeyFile, ""},
    {"Message", "Add Footer", &TMailingJob::AddFooter, true},
    {"Settings", "Once Per Address", &TMailingJob::OncePerAddress, false},
    {"Message", "Attachments", &TMailingJob::Attachments, ""},
    {"Message", "Attachment Field", &TMailingJob::AttachmentField, ""},
    {"Message", "Attachment Folder", &TMailingJob::AttachmentFolder, ""},
    {"Message", "HTML File", &TMailingJob::HtmlFile, ""},
    {"Settings", "Connections", &TMailingJob::Connections, 1},
};

template <typename... F> struct TOverload : F... {
    using F::operator()...;
};
template <typename... F> TOverload(F...) -> TOverload<F...>;

} // namespace

const char* const SettingsTable::Key = "Software\\Quorvel Software Systems\\QuorvelMailer";

TMailingJob SettingsTable::Defaults() {
    TMailingJob job;
    for (const TRow& row : Rows)
        std::visit(TOverload{[&](QString TMailingJob::*m) { job.*m = QString::fromUtf8(std::get<const char*>(row.Default)); },
                             [&](int TMailingJob::*m) { job.*m = std::get<int>(row.Default); },
                             [&](bool TMailingJob::*m) { job.*m = std::get<bool>(row.Default); }},
                   row.Member);
    return job;
}

TMailingJob SettingsTable::Load(const TSettingsStore& store) {
    TMailingJob job = Defaults();
    for (const TRow& row : Rows) {
        const QString section = QString::fromLatin1(row.Section);
        const QString ident = QString::fromLatin1(row.Ident);
        std::visit(TOverload{[&](QString TMailingJob::*m) { job.*m = store.ReadString(section, ident, job.*m); },
                             [&](int TMailingJob::*m) { job.*m = store.ReadInteger(section, ident, job.*m); },
                             [&](bool TMailingJob::*m) { job.*m = store.ReadBool(section, ident, job.*m); }},
                   row.Member);
    }
    return job;
}

void SettingsTable::Save(TSettingsStore& store, const TMailingJob& job) {
    for (const TRow& row : Rows) {
        const QString section = QString::fromLatin1(row.Section);
        const QString ident = QString::fromLatin1(row.Ident);
        std::visit(TOverload{[&](QString TMailingJob::*m) { store.WriteString(section, ident, job.*m); },
                             [&](int TMailingJob::*m) { store.WriteInteger(section, ident, job.*m); },
                             [&](bool TMailingJob::*m) { store.WriteBool(section, ident, job.*m); }},
                   row.Member);
    }
}
