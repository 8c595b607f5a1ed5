// One record's message outside a run: built for the preview, or sent as a test to the sender, by the run's own
// code, so that what the user looks at is what the run sends.
#include "mailing/MailingRun.h"

#include "framework/core/Text.h"
#include "smtp/AttachmentPart.h"
#include "smtp/BodyLines.h"
#include "smtp/MailMessage.h"
#include "smtp/MessageComposer.h"
#include "smtp/MessageFile.h"
#include "smtp/Mime.h"
#include "smtp/SmtpClient.h"

#include <QMimeDatabase>
#include <algorithm>
#include <filesystem>
#include <memory>

TMailMessage TMailingRun::Message(const TSmtpClient& sender, const TMailingRunSettings& settings,
                                  const TRecipient& recipient) {
    TMailMessage message;
    message.ReturnPath = sender.FromName();
    message.Recipients = {recipient.Address};
    message.From = sender.HdrFrom();
    message.To = recipient.HdrTo;
    // A subject that comes out empty for this record stays empty: it is never another recipient's.
    message.Subject = settings.Subject.empty() ? sender.HdrSubject() : recipient.Subject;
    if (!settings.Organization.empty())
        message.Fields.push_back({"Organization", Text::Trim(settings.Organization)});
    message.Fields.insert(message.Fields.end(), recipient.ListHeaders.begin(), recipient.ListHeaders.end());
    message.Signer = settings.Dkim;
    // Each reading starts at the text's beginning, so the body can be read twice.
    message.Body = [text = std::make_shared<const std::string>(recipient.Body), width = settings.WrapColumn] {
        return TMailMessage::TLineReader([text, width, pos = size_t(0)](std::string& line) mutable {
            bool more = true;
            line = MessageText::NextBodyLine(*text, pos, width, TMessageComposer::MaxLineLength, more);
            return more;
        });
    };
    message.Attachments = settings.Attachments;
    message.Attachments.insert(message.Attachments.end(), recipient.Attachments.begin(), recipient.Attachments.end());
    if (!recipient.Html.empty())
        message.Html = BodyLines({recipient.Html}); // the composer breaks the text at its line breaks
    return message;
}

TMailMessage::TAttachment TMailingRun::Attachment(const std::string& path, const std::string& name) {
    std::string problem;
    if (std::shared_ptr<const TMessageFile> file = TMessageFile::Open(path, problem))
        return Attachment(std::move(file), path, name);
    return {path, std::filesystem::path(name).filename().string(), {}, nullptr, nullptr}; // reading it will say why
}

TMailMessage::TAttachment TMailingRun::Attachment(std::shared_ptr<const TMessageFile> file, const std::string& path,
                                                  const std::string& name) {
    // The type from the bytes of the file that goes out, never from whatever the name holds by now.
    QByteArray head(static_cast<qsizetype>(std::min<uint64_t>(file->Size(), 16384)), '\0');
    head.resize(static_cast<qsizetype>(std::max<long long>(0, file->ReadAt(0, head.data(), head.size()))));
    const QMimeDatabase types;
    const QString fileName = QString::fromStdString(std::filesystem::path(name).filename().string());
    QMimeType type = types.mimeTypeForFileNameAndData(fileName, head);
    // An empty file has no content to tell its type by: its name does.
    if (type.isDefault() || type.name() == QLatin1String("application/x-zerosize"))
        type = types.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    return {path, fileName.toStdString(), type.name().toStdString(), nullptr, std::move(file)};
}

TMailingRun::TRecordFiles TMailingRun::RecordAttachments(const std::string& names,
                                                         const MessageText::NamedLookup& named,
                                                         const std::string& folder,
                                                         std::vector<TMailMessage::TAttachment>& files,
                                                         std::string& problem, std::string* filled) {
    // The field's text is the list; a value filled in names one file, never more.
    std::string list;
    const std::string expanded = MessageText::ExpandFields(names, named, [&list](std::string_view value) {
        if (list.empty() && value.find(';') != std::string_view::npos)
            list = value;
        return std::string(value);
    });
    if (!list.empty()) {
        problem = "attachment name from a field value holds a list: " + list;
        return TRecordFiles::Refused;
    }
    if (filled)
        *filled = expanded;
    return OpenRecordFiles(expanded, folder, files, problem);
}

TMailingRun::TRecordFiles TMailingRun::OpenRecordFiles(const std::string& names, const std::string& folder,
                                                       std::vector<TMailMessage::TAttachment>& files,
                                                       std::string& problem) {
    for (size_t start = 0; start <= names.size();) {
        const size_t end = std::min(names.find(';', start), names.size());
        const std::string name = Text::Trim(names.substr(start, end - start));
        start = end + 1;
        if (name.empty())
            continue;
        bool refused = false;
        std::shared_ptr<const TMessageFile> file = TMessageFile::OpenInFolder(folder, name, problem, refused);
        if (!file)
            return refused ? TRecordFiles::Refused : TRecordFiles::Missing;
        files.push_back(Attachment(std::move(file), (std::filesystem::path(folder) / name).string(), name));
    }
    return TRecordFiles::Ready;
}

bool TMailingRun::ReopenFiles(TRecipient& recipient) const {
    if (recipient.FileNames.empty() || !recipient.Attachments.empty())
        return true;
    return OpenRecordFiles(recipient.FileNames, FSettings.AttachmentFolder, recipient.Attachments, recipient.Problem) ==
           TRecordFiles::Ready;
}

std::vector<std::string> TMailingRun::PreviewLines(const TSmtpClient& client, TTable& recipients,
                                                   const TMailingRunSettings& settings, std::string& problem) {
    const TRecipient recipient = ReadRecipient(recipients, settings, 0);
    problem = recipient.Problem;
    if (!problem.empty())
        return {};
    // The text part alone is composed and decoded; the HTML version follows as its text and the files are named
    // with their sizes, never shown as MIME or base64.
    TMailMessage message = Message(client, settings, recipient);
    const std::vector<TMailMessage::TAttachment> files = std::move(message.Attachments);
    message.Attachments.clear();
    message.Html = nullptr;
    std::vector<std::string> composed;
    TMessageComposer composer;
    composer.Compose(message, [&composed](std::string_view line) { composed.emplace_back(line); });
    std::vector<std::string> lines = Mime::ReadableMessage(composed);
    if (!recipient.Html.empty()) {
        lines.insert(lines.end(), {"", "HTML version:"});
        for (size_t start = 0; start < recipient.Html.size();) {
            const size_t end = std::min(recipient.Html.find('\n', start), recipient.Html.size());
            std::string line = recipient.Html.substr(start, end - start);
            if (line.ends_with('\r'))
                line.pop_back();
            lines.push_back(std::move(line));
            start = end + 1;
        }
    }
    if (!files.empty())
        lines.emplace_back();
    for (const TMailMessage::TAttachment& file : files) {
        std::error_code error;
        const auto size = file.File ? file.File->Size() : std::filesystem::file_size(file.Path, error);
        lines.push_back("Attachment: " + TAttachmentPart::DisplayName(file) + " (" +
                        (error ? std::string("cannot be read") : TMessageComposer::SizeText(size)) + ")");
    }
    return lines;
}

bool TMailingRun::ComposeMessage(const TSmtpClient& client, TTable& recipients, const TMailingRunSettings& settings,
                                 const std::function<void(std::string_view line)>& put, std::string& problem) {
    const TRecipient recipient = ReadRecipient(recipients, settings, 0);
    problem = recipient.Problem;
    if (!problem.empty())
        return false;
    TMessageComposer composer;
    composer.Compose(Message(client, settings, recipient), put);
    return true;
}

QString TMailingRun::SendTest(TSmtpClient& client, TTable& recipients, const TMailingRunSettings& settings,
                              TDeliveryLedger& ledger) {
    TRecipient recipient = ReadRecipient(recipients, settings, 0);
    if (!recipient.Problem.empty())
        return QStringLiteral("Test message not sent: %1.").arg(QString::fromStdString(recipient.Problem));
    // Only the envelope and the To line change: the rest is the record's message as previewed.
    recipient.Address = client.FromName();
    recipient.HdrTo = recipient.Address;
    client.SetTimeOut(settings.TimeOut);
    client.SetStatusTimeOut(false);
    // Greeted and encoded as a run does.
    client.SetExtended(true);
    client.SetEightBitBodies(false);
    // Connects first, with the security settings, as a run does.
    const bool sent = client.Mail(Message(client, settings, recipient));

    TDeliveryLedger::TEntry entry;
    entry.Test = true;
    entry.Run = 0; // a test belongs to no run: it stays out of every run's numbering
    entry.When = QDateTime::currentDateTime();
    entry.RecNo = recipient.RecNo;
    entry.Email = recipient.Address;
    entry.Code = client.LastReplyCode();
    // The server's reply, or the client's account when no reply came, as one line of the REPLY field.
    entry.Reply = client.LastResponse().empty() ? client.ErrorMessage() : client.LastResponse();
    std::erase(entry.Reply, '\r');
    std::replace(entry.Reply.begin(), entry.Reply.end(), '\n', ' ');
    entry.MessageId = client.MessageId();
    if (sent)
        entry.QueueId = TDeliveryLedger::QueueId(entry.Reply);
    entry.MessageKey = settings.MessageKey;
    const QString line =
        sent ? QStringLiteral("Test message sent to %1: %2")
                   .arg(QString::fromStdString(recipient.Address), QString::fromStdString(client.LastResponse()))
             : QStringLiteral("Test message not sent: ") +
                   FailureText(client).replace(QLatin1Char('\n'), QLatin1Char(' '));
    client.Quit();
    ledger.Append(entry);
    return line;
}
