// Whether the dialogue is in step: which replies a command can get, the verdicts held until the dialogue proves
// in step past them, bytes nobody asked for, and what a stop leaves.
#include "smtp/SmtpClient.h"

void TSmtpClient::TellStopped(TSmtpPipeline::TMessage& message) {
    FLastReplyCode = 0;
    FLastResponse = ClosedResponse();
    FErrorMessage = "The run was stopped before this message went out";
    FUnconfirmed = false;
    FNotSendable = false;
    Tell(message, false, true);
}

bool TSmtpClient::Stopped(TSmtpPipeline& pipe) {
    // A message whose final command went has its reply awaited; every other one goes no further.
    for (TSmtpPipeline::TMessage* message : pipe.Untold())
        if (message->Phase != TSmtpPipeline::TPhase::Final)
            TellStopped(*message);
    if (pipe.Awaiting() && FState == smtpConnected)
        return false;
    if (!FUnproved.empty())
        InStep(pipe);
    if (FState != smtpDisconnected)
        CloseSocket(); // no QUIT: a DATA left open must end without its dot
    if (!pipe.Empty())
        LoseQueued(pipe, nullptr);
    return true;
}

bool TSmtpClient::Fits(TSmtpPipeline::TStep step, int code) {
    using TStep = TSmtpPipeline::TStep;
    if (code >= 400 && code <= 599)
        return true;
    switch (step) {
    case TStep::Reset:
    case TStep::Mail:
    case TStep::Content:
    case TStep::Bdat:
        return code == 250;
    case TStep::Rcpt:
        return code >= 250 && code <= 252;
    case TStep::Data:
        return code == 354;
    }
    return false;
}

void TSmtpClient::Prove() {
    std::vector<TVerdict> verdicts;
    verdicts.swap(FUnproved);
    for (const TVerdict& verdict : verdicts) {
        FLastReplyCode = verdict.Code;
        FLastResponse = verdict.Response;
        FErrorMessage = verdict.Error;
        FUnconfirmed = false;
        FNotSendable = false;
        FMessageId = verdict.MessageId;
        if (FQueueDone)
            (*FQueueDone)(verdict.Id, verdict.Accepted);
    }
}

void TSmtpClient::Disprove(const std::string& words) {
    std::vector<TVerdict> verdicts;
    verdicts.swap(FUnproved);
    for (const TVerdict& verdict : verdicts) {
        FLastReplyCode = 0;
        FLastResponse = ClosedResponse();
        FNotSendable = false;
        FMessageId = verdict.MessageId;
        FUnconfirmed = verdict.ContentWritten;
        FErrorMessage = (verdict.ContentWritten ? "The server's answer to this message (" + verdict.Response +
                                                      ") could not be trusted; it may have been delivered: "
                                                : "The server's answer to this message (" + verdict.Response +
                                                      ") could not be trusted; it was not sent: ") +
                        words;
        if (FQueueDone)
            (*FQueueDone)(verdict.Id, false);
    }
}

bool TSmtpClient::Unasked() {
    return FState != smtpDisconnected && !FSocket->Quiet() && FSocket->State() == wsConnected;
}

bool TSmtpClient::InStep(TSmtpPipeline& pipe, TQueueRun* run) {
    if (FState != smtpDisconnected && FSocket->Quiet()) {
        Prove();
        return true;
    }
    if (FState == smtpDisconnected || FSocket->State() != wsConnected) {
        // The server closed after its last reply; a close is no reply, but bytes it left unread would have been.
        if (FUnreadAtClose)
            Disprove("the server sent more than its replies before it closed the connection");
        else
            Prove();
        // A server that takes one message a connection closes after its reply: the next message, admitted before
        // the close was seen and not begun, goes on a new connection.
        if (run && !pipe.Empty() && pipe.Untouched() && Reconnect(pipe, *run))
            return true;
        if (!pipe.Empty())
            LoseQueued(pipe, nullptr);
        return false;
    }
    // Something came that no command asked for. A server about to close says so with 421 (RFC 5321 3.8): the
    // replies before it stand. Anything else means the replies so far may have answered other commands.
    TSmtpPipeline::TMessage* ahead = pipe.FirstUntold();
    const bool goAhead = ahead && ahead->Phase == TSmtpPipeline::TPhase::GoAhead;
    FErrorMessage.clear();
    ReadResponse();
    if (FLastReplyCode == 421) {
        const std::string closing = FLastResponse;
        Prove();
        CloseSocket();
        if (!pipe.Empty()) {
            FLastReplyCode = 421;
            FLastResponse = closing;
            FErrorMessage.clear();
            LoseQueued(pipe, nullptr);
        }
        return false;
    }
    if (FState != smtpDisconnected)
        Fault(TReplyFault::Astray, FLastResponse);
    const std::string why = goAhead ? "The server sent more than its reply to DATA; the connection was closed for "
                                      "safety and the message was not sent."
                                    : FFaultWords;
    Disprove(why);
    FErrorMessage = why;
    LoseQueued(pipe, goAhead ? ahead : nullptr);
    return false;
}
