// The mailing run: one message per record of the scope, each result classified and written down.
#include "mailing/MailingRun.h"

#include "mailing/AddressSyntax.h"
#include "mailing/MailingRunView.h"
#include "mailing/MessageText.h"
#include "framework/core/Application.h"
#include "framework/core/Text.h"
#include "smtp/MailMessage.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace {

using namespace std::chrono_literals;

// Pending window messages run at most this often between records, as in the client's own loops.
constexpr auto ProcessInterval = 5ms;

} // namespace

const char* const TMailingRun::SuppressedReason = "on the suppression list";
const char* const TMailingRun::NoSmtpUtf8Reason =
    "the server takes no address with letters beyond ASCII before the \"@\" (it offers no SMTPUTF8)";

TMailingRun::TMailingRun(TSmtpClient& client, TTable& recipients, TTable& log, TDeliveryLedger& ledger,
                         TMailingRunView& view, TMailingRunSettings settings)
    : FOwnClient(client), FClient(&client), FRecipients(recipients), FLog(log), FLedger(ledger), FView(view),
      FSettings(std::move(settings)) {
    // Both limits at once: the stricter spacing of the two keeps the run inside both.
    if (FSettings.MaxPerMinute > 0)
        FInterval = std::max<Clock::duration>(FInterval, std::chrono::duration_cast<Clock::duration>(60s) /
                                                             FSettings.MaxPerMinute);
    if (FSettings.MaxPerHour > 0)
        FInterval = std::max<Clock::duration>(FInterval, std::chrono::duration_cast<Clock::duration>(3600s) /
                                                             FSettings.MaxPerHour);
    // EHLO learns whether the server takes commands in groups (PIPELINING, CHUNKING) and the largest message
    // it takes. The bodies still go in 7 bits, as the preview shows them, whether or not 8BITMIME is offered:
    // a relay that re-encodes an 8-bit body would also break its DKIM signature.
    FClient->SetExtended(true);
    FClient->SetEightBitBodies(false);
}

TMailingRun::~TMailingRun() = default;

void TMailingRun::StopSending() {
    FOwnClient.StopSending();
    for (const auto& connection : FConnections)
        connection->StopSending();
}

void TMailingRun::RequestStop(bool meant) {
    FStopRequested = true;
    if (meant)
        StopSending();
    if (FPause)
        FPause->quit();
    // Pausing connections ask at once, and learn that no new message starts.
    for (const auto& connection : FConnections)
        connection->Wake();
}

void TMailingRun::Interrupt() {
    FInterrupted = true;
    FStopRequested = true;
    // The run is on the stack, maybe inside a wait of the client: a QUIT written now would land in the message
    // in transfer and its reply be taken for the message's. Drop the line; the run ends next.
    AbortConnections();
    if (FPause)
        FPause->quit();
}

void TMailingRun::StopConnecting() {
    FStoppedConnecting = true;
    AbortConnections();
}

void TMailingRun::Execute() {
    Start();
    FOwnClient.OnMessageEnding = [this](TSmtpClient* sender, int id) {
        try {
            MessageEnding(id);
        } catch (...) {
            sender->Abort(); // without its row the message's end must not go, nor a QUIT inside its content
            throw;
        }
    };
    struct TForget {
        TSmtpClient& Client;
        ~TForget() { Client.OnMessageEnding = nullptr; }
    } forget{FOwnClient};
    try {
        if (FSettings.Connections > 1)
            WalkConnections();
        else
            Walk();
    } catch (const std::exception& error) {
        // Whatever the client or a table raised ends the run, but through its normal end steps.
        ReportRunError(QString::fromLocal8Bit(error.what()));
    }
    End();
}

void TMailingRun::Start() {
    FPosition = FSettings.Minimum;
    FCounts = {};
    FFinal.clear();
    FAddresses.clear();
    FStarted = Clock::now();
    ShowCounts();
    // A failure still held by the client comes from an earlier run, which has reported it.
    FErrorReported = !FClient->ErrorMessage().empty();
}

bool TMailingRun::StopAnswered() {
    if (FInterrupted)
        return true;
    if (!FStopRequested)
        return false;
    if (FView.RunConfirmStop()) {
        StopSending();
        return true;
    }
    FStopRequested = FInterrupted; // the window may have been closed while the question was open
    return FInterrupted;
}

bool TMailingRun::WalkEnds() {
    if (StopAnswered()) {
        AbortRun(QStringLiteral("User aborted at position %1.").arg(FPosition));
        return true;
    }
    if (!FTableError.isEmpty()) {
        // The table was cut short by another program while the run read it: what follows is unknown. A
        // resumed run starts after the last record read (the records between are deleted ones).
        if (FGivenUp == 0)
            FGivenUp = FTableErrorRecNo;
        AbortRun(FTableError);
        return true;
    }
    return false;
}

void TMailingRun::Walk() {
    for (;;) {
        if (WalkEnds())
            return;
        TRecipient first;
        Clock::duration wait{};
        switch (NextMessage(first, wait)) {
        case TNext::End:
            if (FTableError.isEmpty() && !FStopRequested)
                return;
            continue;
        case TNext::Wait:
            Pause(wait);
            continue;
        case TNext::NoConnection:
            return;
        case TNext::Message:
            break;
        }
        SendQueue(std::move(first));
        ProcessMessages();
    }
}

TMailingRun::TNext TMailingRun::NextMessage(TRecipient& next, Clock::duration& wait) {
    for (;;) {
        // No new message once the user asked to stop: those in flight finish, then the question.
        if (FStopRequested || !FTableError.isEmpty())
            return TNext::End;
        const bool walking = !FRecipients.Eof() && FPosition < FSettings.Maximum;
        const bool retryDue = !FDeferred.empty() && FDeferred.front().Due <= Clock::now();
        if (!retryDue && !walking) {
            if (FDeferred.empty())
                return TNext::End;
            wait = std::max<Clock::duration>(FDeferred.front().Due - Clock::now(), std::chrono::milliseconds(1));
            return TNext::Wait;
        }

        // A record the resume or retry filter passes over is not read or personalised at all.
        const bool taken = retryDue || !FSettings.Take || FSettings.Take(FRecipients.RecNo());
        TRecipient fresh = retryDue || !taken ? TRecipient{} : ReadRecipient();
        if (taken && !retryDue)
            NoteAddress(fresh);
        else if (!retryDue)
            NoteSentAddress();
        bool sending = taken && (retryDue || fresh.Problem.empty());
        if (sending) {
            wait = WaitBeforeSending();
            if (wait > Clock::duration::zero())
                return TNext::Wait;
            if (FClient->State() != smtpConnected) {
                // Inside a queue the client's connection went: the queue ends, and the walk connects anew.
                if (FQueueing)
                    return TNext::End;
                if (!EnsureConnected())
                    return TNext::NoConnection;
            }
            // Letters beyond ASCII before the "@" only go to a server that offered SMTPUTF8 (RFC 6531).
            if (!retryDue && FClient->State() == smtpConnected && AddressSyntax::NonAsciiLocalPart(fresh.Address) &&
                !FClient->HasCapability("SMTPUTF8")) {
                fresh.Problem = NoSmtpUtf8Reason;
                sending = false;
            }
        }

        if (retryDue) {
            next = std::move(FDeferred.front());
            FDeferred.pop_front();
            if (ReopenFiles(next))
                return TNext::Message;
            Skip(next);
            continue;
        }
        ++FPosition;
        ShowProgress();
        if (taken && !fresh.Problem.empty())
            Skip(fresh);
        try {
            FRecipients.Next();
        } catch (const EDBEngineError& error) {
            FTableError = QString::fromStdString(error.Reason().empty() ? error.what() : error.Reason());
            FTableErrorRecNo = FRecipients.RecNo() + 1;
        }
        if (sending) {
            next = std::move(fresh);
            return TNext::Message;
        }
        ProcessMessages();
    }
}

TMailingRun::TRecipient TMailingRun::ReadRecipient() const {
    return ReadRecipient(FRecipients, FSettings, FPosition);
}

TMailingRun::TRecipient TMailingRun::ReadRecipient(TTable& recipients, const TMailingRunSettings& settings,
                                                   int position) {
    const auto field = [&](const std::string& name) { return Field(recipients, settings, name); };
    TRecipient recipient;
    recipient.Position = position + 1;
    recipient.RecNo = recipients.RecNo();
    if (const auto earlier = settings.EarlierAttempts.find(recipient.RecNo); earlier != settings.EarlierAttempts.end())
        recipient.Earlier = earlier->second;
    recipient.Email = field(settings.EmailField);
    recipient.Address = Text::Trim(recipient.Email);
    recipient.Name = settings.NameField.empty() ? std::string() : field(settings.NameField);
    recipient.Problem = AddressProblem(recipient.Address);
    if (recipient.Problem.empty() && settings.Suppressed && settings.Suppressed->Contains(recipient.Address))
        recipient.Problem = SuppressedReason;
    if (!recipient.Problem.empty())
        return recipient;
    // A domain in other letters goes as its A-label, which needs no SMTPUTF8 (an address part of them does).
    recipient.Address = AddressSyntax::AsciiDomain(recipient.Address);
    const std::string name = Text::Trim(recipient.Name);
    recipient.HdrTo = name.empty() ? recipient.Address : MessageText::Mailbox(name, recipient.Address);
    const auto lookup = [&](char placeholder) {
        const std::string& fieldName = settings.FieldFor(placeholder);
        return fieldName.empty() ? std::string() : field(fieldName);
    };
    const MessageText::NamedLookup named = MessageText::TableLookup(recipients, settings.CodePage);
    // Without the footer the body's last line still ends with its line break, as the footer's first one ends it.
    recipient.Body = settings.AddFooter ? MessageText::ReplaceVariables(settings.Body, lookup, named)
                                        : MessageText::Personalise(settings.Body, lookup, named) + "\r\n";
    if (!settings.Subject.empty())
        recipient.Subject = MessageText::Personalise(settings.Subject, lookup, named);
    if (settings.List)
        recipient.ListHeaders = settings.List->Fields(recipient.Address, named);
    if (!settings.Html.empty())
        recipient.Html = MessageText::PersonaliseHtml(settings.Html, lookup, named, recipient.Problem);
    // A message is never sent without the file its record names.
    if (!settings.AttachmentField.empty())
        RecordAttachments(field(settings.AttachmentField), named, settings.AttachmentFolder, recipient.Attachments,
                          recipient.Problem, &recipient.FileNames);
    return recipient;
}

void TMailingRun::NoteAddress(TRecipient& recipient) {
    if (!FSettings.OncePerAddress || !recipient.Problem.empty())
        return;
    // Mail systems treat the domain, and in practice the local part, without regard to case.
    const auto [first, added] = FAddresses.try_emplace(Text::UpperAscii(recipient.Address), recipient.RecNo);
    // A record read again after a pause is not its own duplicate.
    if (!added && first->second != recipient.RecNo)
        recipient.Problem = "same address as record " + std::to_string(first->second);
}

void TMailingRun::NoteSentAddress() {
    if (!FSettings.OncePerAddress || FSettings.AlreadySent.count(FRecipients.RecNo()) == 0)
        return;
    const std::string address = Text::Trim(Field(FRecipients, FSettings, FSettings.EmailField));
    if (AddressProblem(address).empty())
        FAddresses.try_emplace(Text::UpperAscii(address), FRecipients.RecNo());
}

std::string TMailingRun::Field(TTable& recipients, const TMailingRunSettings& settings, const std::string& name) {
    return MessageText::FieldText(recipients.FieldByName(name), settings.CodePage);
}

std::string TMailingRun::AddressProblem(const std::string& address) {
    if (address.empty())
        return "no e-mail address";
    if (std::any_of(address.begin(), address.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; }))
        return "blank inside the e-mail address";
    const size_t at = address.find('@');
    if (at == std::string::npos)
        return "no \"@\" in the e-mail address";
    // An "@" inside the local part is only legal quoted, which no mailing list holds; servers refuse it.
    if (address.find('@', at + 1) != std::string::npos)
        return "more than one \"@\" in the e-mail address";
    if (at == 0)
        return "nothing before the \"@\" of the e-mail address";
    if (at + 1 == address.size())
        return "no domain in the e-mail address";
    // Anything beyond RFC 5321's Mailbox (a ">" or "," above all) would change the To header or the envelope.
    return AddressSyntax::Problem(address);
}

TMailingRun::Clock::duration TMailingRun::WaitBeforeSending() const {
    const Clock::time_point now = Clock::now();
    Clock::duration wait = Clock::duration::zero();
    if (FClient->State() != smtpConnected)
        wait = std::max(wait, FReconnectAt - now);
    if (FAttempts > 0)
        wait = std::max(wait, FLastSend + FInterval - now);
    return wait;
}

bool TMailingRun::EnsureConnected() {
    if (FClient->State() == smtpConnected || Connect())
        return true;
    ConnectionFailed();
    return false;
}

void TMailingRun::ConnectionFailed() {
    if (FInterrupted || FStoppedConnecting) {
        // The user gave the attempt up by closing the window or stopping the run: the server has not failed.
        AbortRun(QStringLiteral("User aborted at position %1.").arg(FPosition));
        return;
    }
    if (FClient->SecurityFailure()) {
        // Refused encryption or login: every further record would meet the same, and providers lock an account
        // after repeated refused logins. One row, in the server's words when it gave any.
        const std::string reply = FClient->LastResponse();
        FView.RunAborted();
        const std::optional<TRecipient> current = CurrentRecord();
        AppendLogRow(FLog, reply.empty() ? FClient->ErrorMessage() : reply, current ? current->Name : std::string(),
                     current ? current->Email : std::string());
        return;
    }
    AbortRun(QStringLiteral("Aborted: lost connection to SMTP server at position %1.").arg(FPosition));
}

std::optional<TMailingRun::TRecipient> TMailingRun::CurrentRecord() const {
    if (FRecipients.Eof() || FPosition >= FSettings.Maximum)
        return std::nullopt;
    return ReadRecipient();
}

bool TMailingRun::Connect() {
    ConnectStarts();
    try {
        FClient->Open();
    } catch (...) {
        FConnecting = false;
        throw;
    }
    FConnecting = false;
    // Open waits for the connection itself: once it returned, the client is connected or never will be.
    Application::ProcessMessages();
    return ConnectEnds();
}

void TMailingRun::ConnectStarts() {
    FClient->SetTimeOut(FSettings.TimeOut);
    FClient->SetStatusTimeOut(false);
    FErrorReported = false;
    FStoppedConnecting = false;
    // A further connection opens while others carry messages: no step of the run's own, and Stop is the
    // ordinary one.
    FConnecting = OpenConnections() == 0;
    if (FConnecting)
        FView.RunStatus(QStringLiteral("Connecting"));
}

bool TMailingRun::ConnectEnds() {
    const bool connected = FClient->State() == smtpConnected;
    FConnectedOnce = FConnectedOnce || connected;
    // A name may stand for several addresses (IPv6 and IPv4): the run says which one it reached.
    const std::string address = FClient->HostAddress();
    if (connected && address != FToldAddress && address != FClient->Host()) {
        FToldAddress = address;
        FView.RunLine(QStringLiteral("Connected to %1 at %2.")
                          .arg(QString::fromStdString(FClient->Host()), QString::fromStdString(address)));
    }
    if (OpenConnections() == 0)
        FView.RunStatus(connected ? QStringLiteral("Connected") : QStringLiteral("Not Connected"));
    // A connection dropped because the window closes or the user stopped the run is no failure of the server.
    if (FInterrupted || FStoppedConnecting)
        FErrorReported = true;
    if (FClient->SecurityFailure() && !FErrorReported) {
        // Shown here in full; the run writes its one log row when it ends.
        FErrorReported = true;
        ++FCounts.Errors;
        ShowCounts();
        FView.RunLine(QString::fromUtf8(FClient->ErrorMessage()));
    }
    // The failure belongs to the connection, not to a recipient: its text names the server and the reason.
    ReportError(QString(), CurrentRecord());
    return connected;
}

void TMailingRun::End() {
    FClient->Quit();
    try {
        ReportStatus(std::nullopt);
    } catch (const std::exception& error) {
        FView.RunLine(QString::fromLocal8Bit(error.what()));
    }
    FView.RunStatus(QStringLiteral("Disconnected"));
    FView.RunRecipient(QString());
    FView.RunExpectedEnd(QDateTime::currentDateTime());
    FView.RunLine(QStringLiteral("Connection closed"));
    FView.RunLine(QStringLiteral("%1 messages sent.").arg(FCounts[TDeliveryStatus::Sent]));
    FView.RunLine(QStringLiteral("Refused %1, deferred %2, unknown %3, skipped %4, aborted %5.")
                      .arg(FCounts[TDeliveryStatus::Refused])
                      .arg(FCounts[TDeliveryStatus::Deferred])
                      .arg(FCounts[TDeliveryStatus::Unknown])
                      .arg(FCounts[TDeliveryStatus::Skipped])
                      .arg(FCounts[TDeliveryStatus::Aborted]));
}

void TMailingRun::Pause(Clock::duration length) {
    if (length <= Clock::duration::zero())
        return;
    if (length > KeepConnectionPause && FClient->State() != smtpDisconnected)
        FClient->Quit();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(length);
    ShowPause(ms);
    // A real pause: the event loop sleeps until the timer or the Stop button wakes it.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    FPause = &loop;
    if (!FStopRequested)
        loop.exec();
    FPause = nullptr;
}

void TMailingRun::ShowPause(std::chrono::milliseconds length) {
    if (length <= 1s)
        return;
    const QDateTime until = QDateTime::currentDateTime().addMSecs(length.count());
    FView.RunStatus(QStringLiteral("Wait until %1").arg(until.toString(QStringLiteral("HH:mm:ss"))));
}

void TMailingRun::ShowProgress() {
    const int span = FSettings.Maximum - FSettings.Minimum;
    const int percent =
        span > 0 ? static_cast<int>(static_cast<long long>(FPosition - FSettings.Minimum) * 100 / span) : 100;
    FView.RunProgress(FPosition, percent);

    // The pace so far, or the throttle's when that is slower, over what is left; told once a second, since
    // the end is shown to the minute.
    const Clock::time_point now = Clock::now();
    if (now - FEndReported < 1s)
        return;
    FEndReported = now;
    const long long left =
        static_cast<long long>(FSettings.Maximum - FPosition) + static_cast<long long>(FDeferred.size());
    const int done = FPosition - FSettings.Minimum;
    Clock::duration each = FInterval;
    if (done > 0)
        each = std::max(each, (now - FStarted) / done);
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(each * left);
    FView.RunExpectedEnd(QDateTime::currentDateTime().addMSecs(rest.count()));
}

void TMailingRun::ShowCounts() {
    FView.RunCounts(FCounts);
}

void TMailingRun::ProcessMessages() {
    const Clock::time_point now = Clock::now();
    if (now - FMessagesProcessed < ProcessInterval)
        return;
    Application::ProcessMessages();
    FMessagesProcessed = Clock::now();
}
