// Messages over one connection through the command queue: each message's commands go as the mode lets them, each
// reply is matched to the command it answers, and each message's result is told exactly once, whatever arrives
// or is lost.
#include "smtp/SmtpClient.h"

#include "framework/core/Text.h"

#include <algorithm>

TSmtpPipeline::TMode TSmtpClient::OfferedMode() const {
    if (FChunking && !FChunkingRefused && FCapabilities.Has("CHUNKING") && FCapabilities.Has("PIPELINING"))
        return TSmtpPipeline::TMode::Chunking;
    if (FPipelining && FCapabilities.Has("PIPELINING"))
        return TSmtpPipeline::TMode::Pipelining;
    return TSmtpPipeline::TMode::Lockstep;
}

void TSmtpClient::Tell(TSmtpPipeline::TMessage& message, bool accepted, bool now) {
    message.Told = true;
    // A transaction that failed before its content is never continued (RFC 5321 4.1.1.5): the next MAIL on this
    // connection comes after RSET. A final reply ends a transaction whatever it says.
    if (!accepted && message.Phase == TSmtpPipeline::TPhase::Envelope)
        FResetNeeded = true;
    FMessageId = message.MessageId;
    if (!now) {
        FUnproved.push_back({message.Id, accepted, message.ContentWritten, FLastReplyCode, FLastResponse,
                             FErrorMessage, message.MessageId});
        return;
    }
    if (FQueueDone)
        (*FQueueDone)(message.Id, accepted);
}

void TSmtpClient::TellRefused(TSmtpPipeline::TMessage& message) {
    FErrorMessage = FLastResponse;
    FUnconfirmed = false;
    FNotSendable = false;
    Tell(message, false);
}

bool TSmtpClient::ReadyForMessage(bool& kept) {
    kept = FState == smtpConnected && ConnectionReady();
    if (FState == smtpDisconnected && !Open())
        return false;
    FErrorMessage.clear();
    return true;
}

bool TSmtpClient::Admit(TSmtpPipeline& pipe, const TMailMessage& message, int id) {
    // The message is made before the envelope goes: one that cannot go as it is, or that is larger than the
    // server said it takes (RFC 1870), is refused here and the server never sees it.
    FComposer.SetEightBit(EightBitAccepted());
    FComposer.Begin(message);
    FMessageId = FComposer.MessageId();
    std::string content;
    std::string problem = FComposer.Problem();
    // RFC 6531: an address with letters beyond ASCII goes only to a server that offered SMTPUTF8, told so on MAIL.
    const auto nonAscii = [](const std::string& a) {
        return std::any_of(a.begin(), a.end(), [](char c) { return c & 0x80; });
    };
    const bool utf8 =
        nonAscii(message.ReturnPath) || std::any_of(message.Recipients.begin(), message.Recipients.end(), nonAscii);
    if (problem.empty() && utf8 && !HasCapability("SMTPUTF8"))
        problem = "the server takes no address with letters beyond ASCII (it offers no SMTPUTF8)";
    const uint64_t limit = SizeLimit();
    if (problem.empty() && pipe.Mode() == TSmtpPipeline::TMode::Chunking) {
        // BDAT names the size first: the message is made whole, as it goes (RFC 3030: no dot-stuffing).
        FComposer.PutMessage([&content](std::string_view line) { content.append(line).append("\r\n"); });
        problem = FComposer.Problem();
    }
    if (!problem.empty()) {
        FErrorMessage = "The message was not sent: " + problem + ".";
    } else if (limit > 0 && FComposer.SizeEstimate() > limit) {
        FErrorMessage = "The message is " + TMessageComposer::SizeText(FComposer.SizeEstimate()) + ", larger than the " +
                        TMessageComposer::SizeText(limit) + " the server takes; it was not sent.";
    } else {
        std::deque<std::string> recipients;
        for (const std::string& recipient : message.Recipients)
            recipients.push_back("RCPT TO:<" + Text::EnvelopeAddress(recipient) + ">");
        // RFC 6152: a server that offered 8BITMIME is told the body may hold 8-bit text.
        const std::string mail = "MAIL FROM:<" + Text::EnvelopeAddress(message.ReturnPath) + ">" +
                                 (EightBitAccepted() ? " BODY=8BITMIME" : "") + (utf8 ? " SMTPUTF8" : "");
        const int number = pipe.Add(mail, recipients, FResetNeeded && !pipe.Empty(), std::move(content));
        TSmtpPipeline::TMessage* added = pipe.Find(number);
        added->Id = id;
        added->MessageId = FMessageId;
        return true;
    }
    Display(FErrorMessage);
    RefuseUnsent();
    FUnconfirmed = false;
    if (FQueueDone)
        (*FQueueDone)(id, false);
    return false;
}

void TSmtpClient::SendQueued(TSmtpPipeline& pipe) {
    TSmtpPipeline::TCommand& command = pipe.NextToSend();
    TSmtpPipeline::TMessage& message = *pipe.Find(command.Message);
    switch (command.Step) {
    case TSmtpPipeline::TStep::Reset:
        FResetNeeded = false;
        [[fallthrough]];
    case TSmtpPipeline::TStep::Mail:
    case TSmtpPipeline::TStep::Rcpt:
        SendCommand(command.Line);
        return;
    case TSmtpPipeline::TStep::Data:
        SendCommand(command.Line);
        FPassesAtData = FWait ? FWait->Passes() : 0;
        return;
    case TSmtpPipeline::TStep::Bdat:
        AnnounceEnding(message);
        SendCommand(command.Line);
        QueueBytes(message.Content);
        message.Phase = TSmtpPipeline::TPhase::Final;
        return;
    case TSmtpPipeline::TStep::Content:
        break;
    }
    message.Phase = TSmtpPipeline::TPhase::Final;
    if (!message.Told) {
        // Once per message whatever the interval: a window closed or a Stop clicked while the envelope went out
        // is seen before any byte of the message leaves, even when every reply came too fast for a wait.
        if (!FWait || FWait->Passes() == FPassesAtData)
            FMessagesProcessed = {};
        ProcessMessages();
        const TMessageComposer::TLineSink put = [this](std::string_view line) { SendDataLine(line); };
        FComposer.PutMessage(put);
        if (FStopping) {
            // Stopped while the content went: without its final dot the server drops what it has.
            CloseSocket();
            TellStopped(message);
            return;
        }
        if (!FComposer.Problem().empty() && FState != smtpDisconnected) {
            // A file that broke off while it went out: without the final dot the server drops what it has.
            FErrorMessage = "The message was not sent: " + FComposer.Problem() + ".";
            Display(FErrorMessage);
            CloseSocket();
            RefuseUnsent();
            FUnconfirmed = false;
            Tell(message, false, true);
            return;
        }
    }
    // A refused message the server still said go ahead to gets its DATA ended with nothing in it.
    AnnounceEnding(message);
    SendCommand(".");
}

void TSmtpClient::AnnounceEnding(const TSmtpPipeline::TMessage& message) {
    if (message.Told || !OnMessageEnding)
        return;
    FMessageId = message.MessageId;
    OnMessageEnding(this, message.Id);
}

bool TSmtpClient::ReceiveQueued(TSmtpPipeline& pipe, TQueueRun& run) {
    using TStep = TSmtpPipeline::TStep;
    Flush();
    // Only what left for the platform may have reached the server: a "." still queued when the connection ends
    // leaves its message undelivered.
    const bool left = FState != smtpDisconnected && FSocket->SendAll(FTimeOut);
    if (left)
        pipe.MarkWritten();
    TSmtpPipeline::TCommand& command = pipe.Awaited();
    TSmtpPipeline::TMessage& message = *pipe.Find(command.Message);
    // Each message's failure stands on its own: an earlier one's words are not this reply's.
    FErrorMessage.clear();
    const bool final = command.Step == TStep::Content || command.Step == TStep::Bdat;
    const int code = left                           ? ReadResponse(final)
                     : FState == smtpDisconnected ? Fault(TReplyFault::NotConnected, {})
                                                  : Fault(TReplyFault::Stall, {});
    if (FLastReplyCode == 0 || code == 421) {
        const bool crossed = FReplyFault == TReplyFault::Closed || FReplyFault == TReplyFault::NotConnected ||
                             FLastReplyCode == 421;
        // A kept connection the server had closed before it took anything: the close crossed the first MAIL. The
        // messages go once more on a new connection; nothing of them had been accepted.
        if (crossed && run.Kept && !run.Answered && command.Step == TStep::Mail && !message.Told &&
            Reconnect(pipe, run))
            return true;
        // A new connection whose first reply after the greeting never came: a server that stalls there would cost
        // a Timeout and a connection per message.
        if (FReplyFault == TReplyFault::Timeout && !run.Kept && !run.Answered)
            ++FStalls;
        LoseQueued(pipe, &message);
        return false;
    }
    run.Answered = true;
    FStalls = 0;
    if (!Fits(command.Step, code)) {
        Fault(TReplyFault::Astray, FLastResponse);
        LoseQueued(pipe, &message);
        return false;
    }
    pipe.Answered();
    if (message.Told) {
        // The replies to a failed message's further commands are not a second failure.
        if (command.Step == TStep::Data && code == 354)
            message.Phase = TSmtpPipeline::TPhase::GoAhead;
        pipe.Retire();
        return true;
    }
    bool accepted = false;
    switch (command.Step) {
    case TStep::Reset:
        if (code != 250) {
            // A transaction that cannot be ended leaves nothing on this connection to trust.
            NoteFailure();
            CloseSocket();
            LoseQueued(pipe, nullptr);
            return false;
        }
        return true;
    case TStep::Mail:
        accepted = code == 250;
        break;
    case TStep::Rcpt:
        accepted = code == 250 || code == 251;
        break;
    case TStep::Data:
        accepted = code == 354;
        if (accepted)
            message.Phase = TSmtpPipeline::TPhase::GoAhead;
        break;
    case TStep::Content:
    case TStep::Bdat:
        if (command.Step == TStep::Bdat && (code == 500 || code == 502)) {
            // CHUNKING offered but BDAT unknown: the content was read as commands and nothing of this connection
            // was delivered. The messages go again later, with DATA.
            FChunkingRefused = true;
            FLastReplyCode = 0;
            FErrorMessage = "The server does not take BDAT although it offers CHUNKING (" + FLastResponse +
                            "); the message goes again with DATA";
            CloseSocket();
            pipe.Rewind();
            LoseQueued(pipe, &message);
            return false;
        }
        if (code == 250) {
            FErrorMessage.clear();
            FUnconfirmed = false;
            FNotSendable = false;
            Tell(message, true);
            pipe.Retire();
            return true;
        }
        break;
    }
    if (!accepted) {
        TellRefused(message);
        pipe.Retire();
    }
    return true;
}

bool TSmtpClient::Reconnect(TSmtpPipeline& pipe, TQueueRun& run) {
    if (run.Retried || FAborted || FStopping)
        return false;
    run.Retried = true;
    Display("The server closed the connection; sending again on a new one");
    CloseSocket();
    pipe.Rewind();
    if (!Open() || OfferedMode() != pipe.Mode())
        return false;
    FErrorMessage.clear();
    return true;
}

void TSmtpClient::LoseQueued(TSmtpPipeline& pipe, TSmtpPipeline::TMessage* owner) {
    const int code = FLastReplyCode;
    const std::string response = FLastResponse;
    const std::string words = FReplyFault == TReplyFault::None ? FLastResponse : FFaultWords;
    const std::string error = FErrorMessage.empty() ? words : FErrorMessage;
    if (FState != smtpDisconnected)
        code == 421 ? Quit() : CloseSocket();
    // What was heard before the connection ended was never proved in step.
    Disprove(words);
    while (TSmtpPipeline::TMessage* message = pipe.FirstUntold()) {
        // What was not answered: a message whose whole content went out may have been kept (never resent by
        // itself); one whose content did not all go can go again later.
        FNotSendable = false;
        FUnconfirmed = message->ContentWritten;
        if (message == owner) {
            FLastReplyCode = code;
            FLastResponse = response;
            FErrorMessage = error;
            FUnconfirmed = FUnconfirmed && code == 0;
        } else {
            // Its neighbour's reply is no answer to this message: a lost connection, not a refusal.
            FLastReplyCode = 0;
            FLastResponse = ClosedResponse();
            FErrorMessage = "The connection ended before the server answered this message: " + words;
        }
        Tell(*message, false, true);
    }
    pipe.Clear();
    FResetNeeded = false;
}

void TSmtpClient::MailQueue(const TNextMessage& next, const TMessageDone& done) {
    FAborted = false;
    FQueueDone = &done;
    struct TForget {
        const TMessageDone** Done;
        ~TForget() { *Done = nullptr; }
    } forget{&FQueueDone};
    TSmtpPipeline pipe;
    TQueueRun run;
    bool more = true;
    FUnproved.clear();
    for (;;) {
        // Nothing awaited: the verdicts heard so far are told once nothing unasked waits.
        if (!pipe.Awaiting() && !FUnproved.empty() && !InStep(pipe, &run))
            return;
        bool progress = false;
        while (more && !FStopping && pipe.CanAdd(FUnproved.size()) && (pipe.Empty() || FState == smtpConnected)) {
            TMailMessage message;
            int id = 0;
            if (!next(message, id)) {
                more = false;
                break;
            }
            if (pipe.Empty()) {
                bool kept = false;
                if (!ReadyForMessage(kept)) {
                    // No connection: the message was never begun, and the caller learns why.
                    FUnconfirmed = false;
                    FNotSendable = false;
                    done(id, false);
                    return;
                }
                run = TQueueRun{kept, false, false};
                pipe.SetMode(OfferedMode());
            }
            Admit(pipe, message, id);
            progress = true;
        }
        if (FStopping && Stopped(pipe))
            return;
        while (FState == smtpConnected && !FStopping && pipe.Sendable()) {
            // A command whose reply decides an outcome goes only while nothing unasked waits.
            if (!pipe.Awaiting() && !InStep(pipe, &run))
                return;
            SendQueued(pipe);
            progress = true;
        }
        if (progress)
            continue;
        if (!pipe.Awaiting()) {
            if (!pipe.Empty())
                LoseQueued(pipe, nullptr); // the connection went between two writes
            if (!more || FState != smtpConnected)
                return;
            continue;
        }
        if (!ReceiveQueued(pipe, run))
            return;
    }
}
