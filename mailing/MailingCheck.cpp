// The check before a run: the message, the server and login, the sender and the retries; the same sentences for
// the window and for quorvel-send. The table and log checks are in MailingCheckTables.cpp.
#include "mailing/MailingCheck.h"

#include "framework/core/FileTrust.h"
#include "framework/core/Text.h"
#include "mailing/DeliveryLedger.h"
#include "mailing/ListHeaders.h"
#include "mailing/MailingLogin.h"
#include "mailing/SuppressionList.h"
#include "smtp/DkimSigner.h"
#include "mailing/MessageText.h"
#include "smtp/AttachmentPart.h"
#include "smtp/MessageFile.h"
#include "mailing/PasswordStore.h"
#include "mailing/ServerAddress.h"
#include "net/AsyncSocket.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/Table.h"

#include <QFile>
#include "mailing/RunLock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The largest HTML version read: a message many times the size no reader would show whole.
constexpr uint64_t MaxHtmlBytes = 10 * 1024 * 1024;

// Any text can be sent, but an address goes on the wire as it stands: outside ASCII no server would take it.
QString CharacterProblem(const QString& text, const QString& field) {
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return {};
    return QStringLiteral("The %1 holds characters that cannot be sent (an e-mail address must be plain ASCII).")
        .arg(field);
}

// A port number from 1 to 65535 or a service name the system knows, as the socket will read it.
bool UsablePort(const QString& port) {
    try {
        TAsyncSocket probe;
        probe.SetPort(port.toStdString());
        return probe.PortNumber() > 0;
    } catch (const ESocketException&) {
        return false;
    }
}

} // namespace

TMailingCheck::TMailingCheck(const TMailingJob& job, TSmtpClient& client) : FJob(job), FClient(client) {}

TMailingCheck::~TMailingCheck() = default;

QString TMailingCheck::All(TTable& recipients, TXbaseEngine& engine, TDeliveryLedger& ledger) {
    for (const auto& step : {&TMailingCheck::Message, &TMailingCheck::Server, &TMailingCheck::Sender,
                             &TMailingCheck::Retries, &TMailingCheck::List})
        if (QString error = (this->*step)(); !error.isEmpty())
            return error;
    if (QString error = Recipients(recipients, engine); !error.isEmpty())
        return error;
    return LogTables(recipients, engine, ledger);
}

QString TMailingCheck::Message() {
    const QString subject = Text::Trim(FJob.Subject);
    FSubject = subject.toStdString();
    FClient.SetHdrSubject(FSubject);
    if (subject.isEmpty())
        return QStringLiteral("No message subject specified.");
    if (Text::Trim(FJob.Text).isEmpty())
        return QStringLiteral("Message is empty.");
    return MessageFiles();
}

// Files every message carries are read and encoded here, once for the whole run: one that cannot be read stops
// the check, never a message that goes without it.
QString TMailingCheck::MessageFiles() {
    FAttachments.clear();
    for (const QString& name : FJob.Attachments.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const std::string path = Text::Trim(name).toStdString();
        if (path.empty())
            continue;
        TMailMessage::TAttachment file = TMailingRun::Attachment(path, path);
        try {
            file.Base64 = TAttachmentPart::EncodeFile(path);
        } catch (const std::runtime_error& error) {
            return QStringLiteral("The file to send with every message cannot be used: %1.")
                .arg(QString::fromStdString(error.what()));
        }
        FAttachments.push_back(std::move(file));
    }
    FHtml.clear();
    const QString htmlFile = Text::Trim(FJob.HtmlFile);
    if (!htmlFile.isEmpty()) {
        // Opened without waiting (a pipe would hang the check) and read only when it is a file of a sensible size.
        std::string problem;
        const std::shared_ptr<const TMessageFile> file =
            TMessageFile::Open(QFile::encodeName(htmlFile).toStdString(), problem);
        if (!file)
            return QStringLiteral("The HTML version %1 cannot be read: %2.")
                .arg(htmlFile, QString::fromLocal8Bit(problem));
        if (file->Size() > MaxHtmlBytes)
            return QStringLiteral("The HTML version %1 is larger than %2 MB: no mail program shows a message that "
                                  "large. Put pictures on a web page and link them instead.")
                .arg(htmlFile)
                .arg(MaxHtmlBytes / (1024 * 1024));
        FHtml.resize(file->Size());
        const long long read = file->ReadAt(0, FHtml.data(), FHtml.size());
        if (read < 0)
            return QStringLiteral("The HTML version %1 cannot be read: %2.")
                .arg(htmlFile, QString::fromLocal8Bit(std::strerror(errno)));
        FHtml.resize(static_cast<size_t>(read));
    }
    return {};
}

QString TMailingCheck::PasswordKey() const {
    QString host;
    QString port;
    ServerAddress::Split(Text::Trim(FJob.Server), host, port);
    return PasswordStore::Key(FJob.UserName.trimmed(), host);
}

QString TMailingCheck::Server() {
    const QString server = Text::Trim(FJob.Server);
    FClient.SetHost(server.toStdString());
    if (server.isEmpty())
        return QStringLiteral("No SMTP mail server specified.");
    // A settings file edited by hand may hold any number: none of them may quietly mean "no encryption".
    if (FJob.Security < 0 || FJob.Security > 2)
        return QStringLiteral("The setting Security is %1, which is none of the choices (0 no encryption, 1 "
                              "STARTTLS, 2 SSL/TLS): choose one in the security settings.")
            .arg(FJob.Security);
    if (FJob.Login < TMailingJob::PasswordLogin || FJob.Login > TMailingJob::CommandLogin)
        return QStringLiteral("The setting Login is %1, which is none of the choices (0 password, 1 OAuth 2.0 in "
                              "the browser, 2 a token command): choose one in the security settings.")
            .arg(FJob.Login);
    QString host;
    QString port;
    if (!ServerAddress::Split(server, host, port))
        return QStringLiteral("Invalid SMTP mail server specified: use a name or address, optionally followed by a "
                              "colon and the port.");
    const QString jobPort = FJob.Port.trimmed();
    if (!port.isEmpty() && !jobPort.isEmpty() && port != jobPort)
        return QStringLiteral("The SMTP server names port %1, the security settings port %2.").arg(port, jobPort);
    const TSmtpSecurity security = FJob.SecurityMode();
    if (port.isEmpty())
        port = jobPort;
    if (port.isEmpty())
        port = security == TSmtpSecurity::None ? QStringLiteral("smtp") : TMailingJob::StandardPort(security);
    if (!UsablePort(port))
        return QStringLiteral("Invalid port specified: %1 (a number from 1 to 65535 or a service name).").arg(port);
    const QString certificate = FJob.Certificate.trimmed();
    std::string unreadable;
    if (!certificate.isEmpty() && !TMessageFile::Open(QFile::encodeName(certificate).toStdString(), unreadable))
        return QStringLiteral("Can't read the trusted certificate file:\r\n") + certificate;
    const QString user = FJob.UserName.trimmed();
    if (const QString error = MailingLogin::Prepare(FJob, FRefreshTokenFile); !error.isEmpty())
        return error;
    MailingLogin::Install(FClient, FJob);
    const bool password = FJob.Login == TMailingJob::PasswordLogin;
    if (password && !user.isEmpty() && FJob.Password.isEmpty() && FJob.RememberPassword) {
        QString keyringError;
        if (PasswordStore::Read(PasswordKey(), FKeyringPassword, keyringError))
            FJob.Password = FKeyringPassword; // in memory from now on: the keyring is asked once
        else if (keyringError == PasswordStore::NoKeyringText)
            FKeyringNote = keyringError; // no keyring at all: the password is asked for at Start!
        else if (!keyringError.isEmpty())
            return QStringLiteral("A user name is given, but the password cannot be read from the desktop keyring: "
                                  "%1\r\nUntick \"Remember the password\" to be asked for it at Start!.")
                .arg(keyringError);
    }
    FClient.SetHost(host.toStdString());
    FClient.SetPort(port.toStdString());
    FClient.SetSecurity(security);
    FClient.SetTrustedCertificate(QFile::encodeName(certificate).toStdString());
    FClient.SetUserName(user.toStdString());
    FClient.SetPassword(FJob.Password.toStdString());
    FClient.SetAllowClearPassword(FJob.AllowClearPassword);
    return {};
}

QString TMailingCheck::Sender() {
    const QString returnAddress = Text::Trim(FJob.ReturnAddress);
    FClient.SetFromName(returnAddress.toStdString());
    if (returnAddress.isEmpty())
        return QStringLiteral("No return address specified.");
    if (QString problem = CharacterProblem(returnAddress, QStringLiteral("return address")); !problem.isEmpty())
        return problem;
    const QString name = Text::Trim(FJob.Name);
    FClient.SetHdrFrom(name.isEmpty() ? FClient.FromName()
                                      : MessageText::Mailbox(name.toStdString(), FClient.FromName()));
    return {};
}

QString TMailingCheck::Retries() {
    if (!FJob.RetryPauses(FRetryPauses))
        return QStringLiteral("Invalid retry delays specified: minutes separated by commas, such as 1,5,15.");
    return {};
}

TPreflightMailing TMailingCheck::PreflightMailing(const std::string& tablePath) const {
    TPreflightMailing mailing;
    mailing.TablePath = tablePath;
    // The check chose the code page and read every record of the scope in it.
    if (FCodePage)
        mailing.CodePage = FCodePage->Name();
    mailing.NameField = Text::ToLatin1(FJob.NameField);
    mailing.OrganizationField = Text::ToLatin1(FJob.OrganizationField);
    mailing.EmailField = Text::ToLatin1(FJob.EmailField);
    mailing.DearField = Text::ToLatin1(FJob.DearField);
    if (FJob.LimitScope) {
        mailing.ScopeFrom = FScopeFrom;
        mailing.ScopeTo = FScopeTo;
    }
    mailing.Subject = FSubject;
    mailing.Body = FJob.Text.toStdString();
    mailing.WrapColumn = FJob.WrapLines.toInt();
    mailing.Suppressed = FSuppressed;
    mailing.UnsubscribeLink = FList && !FList->Link().empty();
    const std::string from = FClient.FromName();
    mailing.FromDomain = from.substr(from.rfind('@') + 1);
    if (FDkim)
        mailing.DkimDomain = FDkim->Domain();
    if (const QString key = Text::Trim(FJob.DkimKeyFile); FDkim && FileTrust::ReadableByOthers(key))
        mailing.Warnings.push_back(QStringLiteral("Other users can read the DKIM key file %1 and sign mail as %2. "
                                                  "Allow only yourself: chmod 600 %1")
                                       .arg(key, QString::fromStdString(FDkim->Domain()))
                                       .toStdString());
    mailing.AddFooter = FJob.AddFooter;
    mailing.OncePerAddress = FJob.OncePerAddress;
    mailing.AttachmentField = Text::ToLatin1(FJob.AttachmentField);
    mailing.AttachmentFolder = Text::Trim(FJob.AttachmentFolder).toStdString();
    mailing.Html = FHtml;
    for (const TMailMessage::TAttachment& file : FAttachments)
        mailing.SharedFileBytes += file.Base64->size() + file.Base64->size() / 38 + 300;
    return mailing;
}

TMailingRunSettings TMailingCheck::RunSettings() const {
    TMailingRunSettings settings;
    settings.NameField = Text::ToLatin1(FJob.NameField);
    settings.OrganizationField = Text::ToLatin1(FJob.OrganizationField);
    settings.EmailField = Text::ToLatin1(FJob.EmailField);
    settings.DearField = Text::ToLatin1(FJob.DearField);
    settings.Body = FJob.Text.toStdString();
    // The check read the column and found it readable.
    settings.WrapColumn = FJob.WrapLines.toInt();
    settings.Organization = Text::Trim(FJob.Organization).toStdString();
    settings.Subject = FSubject;
    settings.CodePage = FCodePage.get();
    settings.TimeOut = FJob.Timeout;
    // The scope the check walked: its limits were found inside the table.
    settings.Minimum = FScopeFrom - 1;
    settings.Maximum = FScopeTo;
    settings.RetryDelays = FRetryPauses;
    settings.MaxPerMinute = TMailingJob::Limit(FJob.MaxPerMinute);
    settings.MaxPerHour = TMailingJob::Limit(FJob.MaxPerHour);
    // A settings file edited by hand may hold any number here (the window cannot store one outside the range):
    // the nearest sensible value lets the mailing go out as meant rather than stopping it over a detail, and an
    // unreadable value was already read as the default, one connection.
    settings.Connections = std::clamp(FJob.Connections, 1, TMailingRunSettings::MaxConnections);
    settings.MessageKey = MessageKey();
    settings.List = FList;
    settings.Dkim = FDkim;
    settings.Suppressed = FSuppressed;
    settings.AddFooter = FJob.AddFooter;
    settings.OncePerAddress = FJob.OncePerAddress;
    settings.Attachments = FAttachments;
    settings.AttachmentField = Text::ToLatin1(FJob.AttachmentField);
    settings.AttachmentFolder = Text::Trim(FJob.AttachmentFolder).toStdString();
    settings.Html = FHtml;
    return settings;
}

std::string TMailingCheck::MessageKey() const {
    // A changed HTML version or other files make another mailing, never one to resume; a plain message keeps the
    // key older ledgers hold for it.
    std::string content;
    if (!FHtml.empty() || !FAttachments.empty() || !Text::Trim(FJob.AttachmentField).isEmpty()) {
        content = "html\n" + FHtml + "\nfiles\n";
        for (const TMailMessage::TAttachment& file : FAttachments)
            content += file.Path + "\n";
        content += "field\n" + Text::Trim(FJob.AttachmentField).toStdString() + "\nfolder\n" +
                   Text::Trim(FJob.AttachmentFolder).toStdString();
    }
    return TDeliveryLedger::MessageKey(FSubject, FJob.Text.toStdString(), content);
}

std::function<bool(int)> TRunSelection::Take(bool sendAgain) const {
    if (!Limited && (!Resume || Settled.empty()) && (sendAgain || AlreadySent.empty()))
        return {};
    return [failed = Failed, limited = Limited, settled = Resume ? Settled : std::set<int>(),
            skip = sendAgain ? std::set<int>() : AlreadySent](int record) {
        return (!limited || failed.count(record) > 0) && settled.count(record) == 0 && skip.count(record) == 0;
    };
}

TRunSelection TMailingCheck::Selection(TDeliveryLedger& ledger) const {
    const TDeliveryLedger::THistory history = ledger.History(MessageKey());
    TRunSelection selection;
    selection.Run = history.LastRun + 1;
    if (FJob.RetryFailed) {
        selection.Limited = true;
        selection.Failed = history.Failed;
        for (int record : history.Failed)
            if (const auto found = history.Attempts.find(record); found != history.Attempts.end())
                selection.EarlierAttempts.insert(*found);
    }
    selection.Resume = FJob.Resume;
    selection.Settled = history.Settled;
    const auto taken = selection.Take(true);
    for (int record : history.SentSameMessage)
        if (!taken || taken(record))
            selection.AlreadySent.insert(record);
    return selection;
}
