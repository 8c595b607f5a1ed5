// What became of each message: the result's status, the ledger row, the retry, and the report of a failure in
// the memo and in mail_log.dbf.
#include "mailing/MailingRun.h"

#include "mailing/MailingRunView.h"
#include "framework/core/Text.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/Table.h"

#include <algorithm>
#include <cctype>

const char* const TMailingRun::UnknownReason = "no final answer from the server; it may have been delivered";
const char* const TMailingRun::UnknownLogText = "no final answer; it may have been delivered";

TDeliveryStatus TMailingRun::Classify(bool accepted) const {
    if (accepted)
        return TDeliveryStatus::Sent;
    // The final "." went out and no reply came: the server may have kept the message, so it is never resent.
    if (FClient->Unconfirmed())
        return TDeliveryStatus::Unknown;
    if (FInterrupted)
        return TDeliveryStatus::Aborted;
    if (FClient->NotSendable())
        return TDeliveryStatus::Refused;
    const int code = FClient->LastReplyCode();
    if (code >= 500)
        return TDeliveryStatus::Refused;
    // A 4xx, and a line lost or silent before the final ".": nothing was delivered, a later try may succeed.
    // A server that answers with something that is no reply at all will not do better later.
    if (code >= 400 || (code == 0 && FClient->LastResponse() != "554 invalid reply"))
        return TDeliveryStatus::Deferred;
    return TDeliveryStatus::Refused; // a reply that fits no step of the dialogue
}

void TMailingRun::Schedule(TRecipient& recipient, int code) {
    const size_t retries = FSettings.RetryDelays.size();
    if (static_cast<size_t>(recipient.Attempt) > retries)
        return;
    recipient.Due = Clock::now() + FSettings.RetryDelays[static_cast<size_t>(recipient.Attempt) - 1];
    // RFC 5321 3.8: a 421 closes the service; no new connection is tried before the pause is over.
    if (code == 421)
        FReconnectAt = std::max(FReconnectAt, recipient.Due);
    const auto wallClock = QDateTime::currentDateTime().addMSecs(
        std::chrono::duration_cast<std::chrono::milliseconds>(recipient.Due - Clock::now()).count());
    FView.RunLine(QStringLiteral("Will try again at %1.").arg(wallClock.toString(QStringLiteral("HH:mm:ss"))));
    const auto later = std::find_if(FDeferred.begin(), FDeferred.end(),
                                    [&](const TRecipient& other) { return other.Due > recipient.Due; });
    const auto waiting = FDeferred.insert(later, recipient);
    // A waiting record holds no file open (thousands may wait at once): its files are opened again for the retry.
    if (!waiting->FileNames.empty())
        waiting->Attachments.clear();
}

void TMailingRun::Skip(const TRecipient& recipient) {
    // The table's own record number, as every dBase tool shows it (not the position within the scope).
    FView.RunLine(QStringLiteral("Record %1 skipped: %2.")
                      .arg(recipient.RecNo)
                      .arg(QString::fromStdString(recipient.Problem)));
    Record(recipient, TDeliveryStatus::Skipped, 0, recipient.Problem);
}

void TMailingRun::Record(const TRecipient& recipient, TDeliveryStatus status, int code, const std::string& reply) {
    // A recipient counts once, by what became of it last; the ledger keeps every attempt.
    const auto [previous, first] = FFinal.try_emplace(recipient.RecNo, status);
    if (!first) {
        --FCounts[previous->second];
        previous->second = status;
    }
    ++FCounts[status];
    const TDeliveryLedger::TEntry entry = LedgerEntry(recipient, status, code, reply);
    if (status == TDeliveryStatus::Refused && TSuppressionList::HardBounce(code, reply) &&
        std::find(FHardBounces.begin(), FHardBounces.end(), entry.Email) == FHardBounces.end())
        FHardBounces.push_back(entry.Email);
    // The attempt's UNKNOWN row, written before its end went out, becomes its result: one row per attempt.
    FLedger.Append(entry, recipient.MarkRow);
    ShowCounts();
}

void TMailingRun::MessageEnding(int id) {
    const auto found = FInFlight.find(id);
    if (found == FInFlight.end())
        return;
    TRecipient& recipient = found->second;
    const TDeliveryLedger::TEntry entry = LedgerEntry(recipient, TDeliveryStatus::Unknown, 0, UnknownReason);
    recipient.MarkRow = FLedger.Append(entry, recipient.MarkRow);
    // A crash of the program leaves the row with the kernel; against a power cut a flush a second is kept.
    FLedger.SyncSoon();
}

TDeliveryLedger::TEntry TMailingRun::LedgerEntry(const TRecipient& recipient, TDeliveryStatus status, int code,
                                                 const std::string& reply) {
    TDeliveryLedger::TEntry entry;
    entry.Run = FSettings.Run;
    // The clock on the wall, read once a second: a long run writes many rows a second.
    const auto now = std::chrono::system_clock::now();
    if (now - FWallClockRead >= std::chrono::seconds(1) || now < FWallClockRead) {
        // Kept at the local offset from UTC: adding to it is arithmetic, where a local time would read the time
        // zone files again for every row.
        const QDateTime local = QDateTime::currentDateTime();
        FWallClock = local.toOffsetFromUtc(local.offsetFromUtc());
        FWallClockRead = now;
    }
    entry.When =
        FWallClock.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(now - FWallClockRead).count());
    entry.RecNo = recipient.RecNo;
    entry.Email = recipient.Address.empty() ? recipient.Email : recipient.Address;
    entry.Status = status;
    entry.Code = code;
    entry.Reply = reply;
    if (status == TDeliveryStatus::Sent)
        entry.QueueId = TDeliveryLedger::QueueId(reply);
    // Only a message whose header block went out has an identity the recipient can see.
    if (status != TDeliveryStatus::Skipped && status != TDeliveryStatus::Aborted)
        entry.MessageId = FClient->MessageId();
    entry.Attempt = recipient.Earlier + std::max(recipient.Attempt, 1);
    entry.MessageKey = FSettings.MessageKey;
    return entry;
}

void TMailingRun::ReportStatus(const std::optional<TRecipient>& current) {
    ReportError(QStringLiteral("Error when sending mail to: ") + QString::fromStdString(FLastTo), current);
}

void TMailingRun::ReportError(const QString& heading, const std::optional<TRecipient>& current) {
    if (FClient->ErrorMessage().empty() || FErrorReported)
        return;
    FErrorReported = true;
    ++FCounts.Errors;
    ShowCounts();
    if (!heading.isEmpty())
        FView.RunLine(heading);
    FView.RunLine(FailureText(*FClient));
    // The log keeps the reply code, the client's made-up ones included, for the tools that read it.
    const std::string reply = FClient->LastResponse();
    if (!reply.empty())
        AppendLogRow(FLog, reply, current ? current->Name : std::string(), current ? current->Email : std::string());
}

void TMailingRun::ReportUnknown(const TRecipient& recipient) {
    if (FErrorReported)
        return;
    FErrorReported = true;
    ++FCounts.Errors;
    ShowCounts();
    FView.RunLine(QStringLiteral("Error when sending mail to: ") + QString::fromStdString(FLastTo));
    FView.RunLine(FailureText(*FClient));
    FView.RunLine(QStringLiteral("No final answer from the server; the message may have been delivered, so it is "
                                 "not sent again by itself."));
    AppendLogRow(FLog, UnknownLogText, recipient.Name, recipient.Email);
}

std::string TMailingRun::UnknownText(const TSmtpClient& client) {
    // The client's account of what it saw ("The server closed the connection without a reply") says why; a
    // made-up "554 connection closed" would read as the server's refusal.
    std::string why = client.ErrorMessage();
    while (!why.empty() && (why.back() == '.' || why.back() == '\n' || why.back() == '\r'))
        why.pop_back();
    if (why.size() > 1 && std::isupper(static_cast<unsigned char>(why[0])) &&
        std::islower(static_cast<unsigned char>(why[1])))
        why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    std::replace(why.begin(), why.end(), '\n', ' ');
    std::erase(why, '\r');
    return why.empty() ? std::string(UnknownReason) : std::string(UnknownReason) + " (" + why + ")";
}

bool TMailingRun::LoginRefused(const TSmtpClient& client) {
    return client.SecurityFailure() && client.LastReplyCode() == 535 && !client.UserName().empty() &&
           !client.OnAccessToken; // a refused token is no wrong password
}

QString TMailingRun::FailureText(const TSmtpClient& client) {
    // A refused encryption or login is told in the client's own sentence, which names the reply it got.
    // Otherwise the server's words when it answered, else the client's account of what it saw (refused, timed
    // out, closed), never a made-up reply that looks like the server's.
    if (client.LastReplyCode() != 0 && !client.SecurityFailure())
        return QStringLiteral("Server says: ") + QString::fromStdString(client.LastResponse());
    return QString::fromStdString(client.ErrorMessage()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

void TMailingRun::AbortRun(const QString& text) {
    FView.RunAborted();
    FView.RunLine(text);
    const std::string row = text.toStdString();
    const std::optional<TRecipient> current = CurrentRecord();
    AppendLogRow(FLog, row, current ? current->Name : std::string(), current ? current->Email : std::string());
    // The ledger's abort names the first record not taken up: a resumed run starts there.
    TRecipient next = current.value_or(TRecipient{});
    if (FGivenUp > 0) {
        next = TRecipient{};
        next.RecNo = FGivenUp;
    }
    Record(next, TDeliveryStatus::Aborted, 0, row);
}

void TMailingRun::ReportRunError(const QString& text) {
    FView.RunAborted();
    ++FCounts.Errors;
    ShowCounts();
    FView.RunLine(text);
    try {
        AppendLogRow(FLog, text.toStdString(), {}, {});
    } catch (const std::exception& error) {
        FView.RunLine(QString::fromLocal8Bit(error.what()));
    }
}

void TMailingRun::AppendLogRow(TTable& log, const std::string& text, const std::string& name,
                               const std::string& email) {
    // The log keeps its Windows-1252 code page, which the tools reading it expect; what it cannot hold is "?".
    static const TCodePage logCodePage("CP1252");
    log.Append();
    try {
        log.FieldByName("ERR_TEXT").SetValue(logCodePage.FromUtf8(text));
        log.FieldByName("NAME").SetValue(logCodePage.FromUtf8(name));
        log.FieldByName("E_MAIL").SetValue(logCodePage.FromUtf8(email));
        log.Post();
    } catch (...) {
        log.Cancel(); // a half-filled row must not be written by a later Post
        throw;
    }
}
