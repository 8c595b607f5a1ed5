// The command queue of one connection: which command may go, which reply answers which message.
#include "smtp/SmtpPipeline.h"

#include <algorithm>

int TSmtpPipeline::Window() const {
    switch (FMode) {
    case TMode::Lockstep:
        return 1;
    case TMode::Pipelining:
        return 2;
    case TMode::Chunking:
        break;
    }
    return ChunkingWindow;
}

bool TSmtpPipeline::CanAdd(size_t held) const {
    if (static_cast<int>(FMessages.size() + held) >= Window())
        return false;
    if (FMode == TMode::Chunking)
        return true;
    return std::none_of(FMessages.begin(), FMessages.end(), [](const TMessage& message) {
        return !message.Told && (message.Phase == TPhase::Envelope || message.Phase == TPhase::GoAhead);
    });
}

int TSmtpPipeline::Add(const std::string& mail, const std::deque<std::string>& recipients, bool reset,
                       std::string content) {
    TMessage message;
    message.Number = FNextNumber++;
    message.Recipients = static_cast<int>(recipients.size());
    message.Content = std::move(content);
    const auto add = [&](TStep step, std::string line, int recipient = 0) {
        FCommands.push_back({step, message.Number, recipient, std::move(line), false});
    };
    if (reset)
        add(TStep::Reset, "RSET");
    add(TStep::Mail, mail);
    for (size_t i = 0; i < recipients.size(); ++i)
        add(TStep::Rcpt, recipients[i], static_cast<int>(i));
    if (FMode == TMode::Chunking) {
        add(TStep::Bdat, "BDAT " + std::to_string(message.Content.size()) + " LAST");
    } else {
        add(TStep::Data, "DATA");
        add(TStep::Content, ".");
    }
    FMessages.push_back(std::move(message));
    return FMessages.back().Number;
}

bool TSmtpPipeline::Sendable() {
    while (FSend < FCommands.size()) {
        const TCommand& command = FCommands[FSend];
        const TMessage* message = Find(command.Message);
        if (message->Told && command.Step == TStep::Content && message->DataSent && !message->DataAnswered)
            return false; // a 354 to come would need its "."
        if (message->Told && !(command.Step == TStep::Content && message->Phase == TPhase::GoAhead)) {
            FCommands.erase(FCommands.begin() + static_cast<std::ptrdiff_t>(FSend));
            continue;
        }
        if (FMode == TMode::Lockstep && Awaiting())
            return false;
        // Whatever follows a DATA before its reply would be taken for message content after a 354.
        if (Awaiting() && FCommands[FSend - 1].Step == TStep::Data)
            return false;
        if (command.Step == TStep::Content)
            return message->Phase == TPhase::GoAhead;
        // With more than one recipient the content waits for every RCPT's reply: a refused one fails the message,
        // which must then not reach the others.
        if ((command.Step == TStep::Data || command.Step == TStep::Bdat) && message->Recipients > 1)
            return !Awaiting();
        return true;
    }
    return false;
}

TSmtpPipeline::TCommand& TSmtpPipeline::NextToSend() {
    TCommand& command = FCommands[FSend++];
    if (command.Step == TStep::Data)
        Find(command.Message)->DataSent = true;
    return command;
}

void TSmtpPipeline::Answered() {
    const TCommand& command = FCommands[FReceive++];
    if (command.Step == TStep::Data)
        Find(command.Message)->DataAnswered = true;
}

void TSmtpPipeline::MarkWritten() {
    for (size_t i = 0; i < FSend; ++i) {
        TCommand& command = FCommands[i];
        if (command.Written)
            continue;
        command.Written = true;
        if (command.Step == TStep::Content || command.Step == TStep::Bdat)
            if (TMessage* message = Find(command.Message))
                message->ContentWritten = true;
    }
}

TSmtpPipeline::TMessage* TSmtpPipeline::Find(int number) {
    for (TMessage& message : FMessages)
        if (message.Number == number)
            return &message;
    return nullptr;
}

TSmtpPipeline::TMessage* TSmtpPipeline::FirstUntold() {
    for (TMessage& message : FMessages)
        if (!message.Told)
            return &message;
    return nullptr;
}

std::vector<TSmtpPipeline::TMessage*> TSmtpPipeline::Untold() {
    std::vector<TMessage*> untold;
    for (TMessage& message : FMessages)
        if (!message.Told)
            untold.push_back(&message);
    return untold;
}

void TSmtpPipeline::Retire() {
    while (!FMessages.empty() && FMessages.front().Told) {
        const int number = FMessages.front().Number;
        size_t count = 0;
        while (count < FCommands.size() && FCommands[count].Message == number)
            ++count;
        // Its commands that never went need not go: the result is known.
        const TMessage& front = FMessages.front();
        if (count > FSend && front.Phase != TPhase::GoAhead && !(front.DataSent && !front.DataAnswered)) {
            FCommands.erase(FCommands.begin() + static_cast<std::ptrdiff_t>(FSend),
                            FCommands.begin() + static_cast<std::ptrdiff_t>(count));
            count = FSend;
        }
        // A reply still to come belongs to it: it stays until that reply is read.
        if (count > FReceive)
            return;
        FCommands.erase(FCommands.begin(), FCommands.begin() + static_cast<std::ptrdiff_t>(count));
        FSend -= count;
        FReceive -= count;
        FMessages.pop_front();
    }
}

void TSmtpPipeline::Rewind() {
    // A reset belonged to the old connection's transaction: a new connection has none to end.
    std::erase_if(FCommands, [](const TCommand& command) { return command.Step == TStep::Reset; });
    for (TCommand& command : FCommands)
        command.Written = false;
    for (TMessage& message : FMessages) {
        message.Phase = TPhase::Envelope;
        message.ContentWritten = false;
        message.DataSent = message.DataAnswered = false;
    }
    FSend = 0;
    FReceive = 0;
}

void TSmtpPipeline::Clear() {
    FCommands.clear();
    FMessages.clear();
    FSend = 0;
    FReceive = 0;
}
