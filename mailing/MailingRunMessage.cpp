// One record's message outside a run: built for the preview, or sent as a test to the sender, by the run's own
// code, so that what the user looks at is what the run sends.
#include "mailing/MailingRun.h"

#include "smtp/SmtpClient.h"

#include <algorithm>

namespace {

// The client is the run's own: whatever a preview or a test sets on it goes back, so the run starts as it
// would have.
class TClientMessageKeeper {
public:
    explicit TClientMessageKeeper(TSmtpClient& client)
        : FClient(client), FGetData(std::move(client.OnGetData)), FHeaderLine(std::move(client.OnHeaderLine)),
          FHdrTo(client.HdrTo()), FSubject(client.HdrSubject()), FRcpt(client.RcptName()), FTimeOut(client.TimeOut()) {}
    ~TClientMessageKeeper() {
        FClient.OnGetData = std::move(FGetData);
        FClient.OnHeaderLine = std::move(FHeaderLine);
        FClient.SetHdrTo(FHdrTo);
        FClient.SetHdrSubject(FSubject);
        FClient.SetRcptName(FRcpt);
        FClient.SetTimeOut(FTimeOut);
    }
    TClientMessageKeeper(const TClientMessageKeeper&) = delete;
    TClientMessageKeeper& operator=(const TClientMessageKeeper&) = delete;

private:
    TSmtpClient& FClient;
    decltype(TSmtpClient::OnGetData) FGetData;
    decltype(TSmtpClient::OnHeaderLine) FHeaderLine;
    std::string FHdrTo;
    std::string FSubject;
    std::vector<std::string> FRcpt;
    int FTimeOut;
};

} // namespace

std::vector<std::string> TMailingRun::PreviewLines(TSmtpClient& client, TTable& recipients,
                                                   const TMailingRunSettings& settings, std::string& problem) {
    const TRecipient recipient = ReadRecipient(recipients, settings, 0);
    problem = recipient.Problem;
    if (!problem.empty())
        return {};
    const TClientMessageKeeper keeper(client);
    TFeed feed;
    InstallHandlers(client, settings, feed);
    Prepare(client, recipient, feed);
    return client.MessageLines();
}

QString TMailingRun::SendTest(TSmtpClient& client, TTable& recipients, const TMailingRunSettings& settings,
                              TDeliveryLedger& ledger) {
    TRecipient recipient = ReadRecipient(recipients, settings, 0);
    if (!recipient.Problem.empty())
        return QStringLiteral("Test message not sent: %1.").arg(QString::fromStdString(recipient.Problem));
    // Only the envelope and the To line change: the rest is the record's message as previewed.
    recipient.Address = client.FromName();
    recipient.HdrTo = recipient.Address;
    const TClientMessageKeeper keeper(client);
    TFeed feed;
    InstallHandlers(client, settings, feed);
    Prepare(client, recipient, feed);
    client.SetTimeOut(settings.TimeOut);
    client.SetStatusTimeOut(false);
    const bool sent = client.Mail(); // connects first, with the security settings, as a run does

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
