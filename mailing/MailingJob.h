// One mailing as the user prepared it: everything a run needs, the one value both front ends hand to the engine.
#pragma once

#include "smtp/SmtpClient.h"

#include <QString>
#include <chrono>
#include <memory>
#include <vector>

class TAccessTokenSource;
struct TOAuthProvider;

// Text values are kept as typed (the check reads and judges them); defaults live in the settings table.
struct TMailingJob {
    // The message: subject and text (CR LF line breaks) with placeholders, and the wrap column.
    QString Subject;
    QString Text;
    QString WrapLines;
    // Files for everyone (";" between paths), the field naming each record's own files and the folder those
    // names are found in, and the HTML version's file; empty: none.
    QString Attachments;
    QString AttachmentField;
    QString AttachmentFolder;
    QString HtmlFile;
    // The sender.
    QString Name;
    QString Organization;
    QString ReturnAddress;
    // The server: "host" or "host:port", the port of the security settings, encryption and login.
    QString Server;
    QString Port;
    int Security = 0; // a TSmtpSecurity
    QString UserName;
    bool RememberPassword = false;
    bool AllowClearPassword = false;
    QString Certificate;
    // Seconds a reply may take.
    int Timeout = 0;
    // Connections opened to the server at once, as stored (the check reads it into 1 to 8).
    int Connections = 1;
    // The password of the login: never stored in the settings, only in memory or the desktop's keyring.
    QString Password;
    // The recipients: the table, its mapped fields, its code page ("Automatic" reads the table's own), the scope.
    QString Table;
    QString NameField;
    QString OrganizationField;
    QString EmailField;
    QString DearField;
    QString CodePage;
    bool LimitScope = false;
    QString ScopeFrom;
    QString ScopeTo;
    // The run: reset the error log, the throttle, the pauses before retries in minutes ("1,5,15"; empty: none),
    // and which records it takes (the next ones after the last run, or those that failed).
    bool ClearLog = false;
    QString MaxPerMinute;
    QString MaxPerHour;
    QString RetryDelays;
    bool Resume = false;
    bool RetryFailed = false;
    // Where mail_log.dbf and the delivery ledger go; empty means beside the program (or the user's data folder).
    QString LogFolder;
    // The login: 0 the password, 1 OAuth 2.0 through the browser, 2 an access token printed by a command. The
    // provider is "Microsoft 365", "Google" or "Other"; the endpoints and scope are read for Other only.
    int Login = 0;
    QString OAuthProvider;
    QString OAuthClientId;
    QString OAuthTenant;
    QString OAuthAuthorizationUrl;
    QString OAuthTokenUrl;
    QString OAuthScope;
    QString OAuthTokenCommand;
    // Secrets of the OAuth login, like the password never in the settings: the client secret (keyring), and the
    // access tokens of this session's sign-in (none: the check makes them from the stored refresh token).
    QString OAuthClientSecret;
    std::shared_ptr<TAccessTokenSource> TokenSource;

    enum TLogin { PasswordLogin = 0, OAuthLogin = 1, CommandLogin = 2 };
    // The provider with the registration typed by the user.
    TOAuthProvider Provider() const;
    // What large mailbox providers ask of bulk mail: the list headers (an https unsubscribe link template with %E,
    // %N and {FIELD}, a mailto address, the List-Id, a Reply-To), addresses never to mail, and DKIM signing.
    QString UnsubscribeUrl;
    QString UnsubscribeAddress;
    QString ListId;
    QString ReplyTo;
    QString SuppressionList;
    QString DkimDomain;
    QString DkimSelector;
    QString DkimKeyFile;
    // The program's footer under every message (its own line, on by default), and one message per address
    // instead of one per record (off: two members may share an address on purpose).
    bool AddFooter = true;
    bool OncePerAddress = false;

    TSmtpSecurity SecurityMode() const;
    // The security choice as stored and as the dialog's list shows it: 0 none, 1 STARTTLS, 2 SSL/TLS.
    static TSmtpSecurity SecurityFromIndex(int index);
    // The port a security uses when none is given: 25, the submission port 587 (RFC 6409), 465 (RFC 8314).
    static QString StandardPort(TSmtpSecurity security);
    // A throttle limit as the run reads it: a number of messages, 0 (no limit) when empty or unreadable.
    static int Limit(const QString& text);
    // The pauses of RetryDelays; false when the text is not a list of whole minutes separated by commas.
    bool RetryPauses(std::vector<std::chrono::milliseconds>& pauses) const;
};
