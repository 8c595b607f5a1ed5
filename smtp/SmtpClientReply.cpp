// Reading the server's replies: one deadline per reply, limits on its lines, and the client's own words for
// what went wrong on the way.
#include "smtp/SmtpClient.h"

#include <algorithm>
#include <cstdio>

namespace {

// The replies the client makes up itself; LastResponse (and the error log) keeps them for the tools that
// read the code, while ErrorMessage says in words what happened.
const char* const NotConnected = "554 not connected";
const char* const ReceiveTimeout = "554 receive timeout";
const char* const SendTimeout = "554 send timeout";
const char* const ConnectionClosed = "554 connection closed";
const char* const InvalidReply = "554 invalid reply";
// Not the server's refusal: the replies no longer match the commands, so nothing they said can be trusted.
const char* const OutOfStep = "554 out of step";

size_t CodeStart(const std::string& reply) {
    size_t at = 0;
    while (at < reply.size() && (reply[at] == '\t' || reply[at] == ' '))
        ++at;
    return at;
}

// The code of a reply line that RFC 5321 4.2 allows: three digits (the first 2 to 5) followed by the end of
// the line, a blank or "-"; leading blanks are tolerated. 0 for anything else.
int ValidReplyCode(const std::string& reply) {
    const size_t at = CodeStart(reply);
    if (reply.size() < at + 3 || reply[at] < '2' || reply[at] > '5')
        return 0;
    for (size_t i = at + 1; i < at + 3; ++i)
        if (reply[i] < '0' || reply[i] > '9')
            return 0;
    if (reply.size() > at + 3 && reply[at + 3] != ' ' && reply[at + 3] != '-')
        return 0;
    return (reply[at] - '0') * 100 + (reply[at + 1] - '0') * 10 + (reply[at + 2] - '0');
}

// A line of a valid reply that more lines follow (RFC 5321 4.2.1).
bool Continues(const std::string& reply) {
    const size_t at = CodeStart(reply) + 3;
    return reply.size() > at && reply[at] == '-';
}

// A received text fit to quote in a message: printable, and not the whole of a flood.
std::string Quoted(const std::string& text) {
    constexpr size_t Shown = 60;
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < Shown; ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        out += ch < 32 || ch == 127 ? '?' : text[i];
    }
    return out + (text.size() > Shown ? "...\"" : "\"");
}

} // namespace

std::string TSmtpClient::ClosedResponse() {
    return ConnectionClosed;
}

int TSmtpClient::ReplyTicks() const {
    const int ticks = FTimeOut > 0 ? FTimeOut : 15; // the wait control's own fallback
    return ticks * (FFinalReply ? FinalReplyFactor : 1);
}

int TSmtpClient::TimeOutMs() const {
    return ReplyTicks() * (FWait ? FWait->Interval() : 1000);
}

std::string TSmtpClient::TimeOutText() const {
    const int ms = TimeOutMs();
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, ms == 1000 ? "%d second" : "%d seconds", ms / 1000);
    else
        std::snprintf(text, sizeof text, "%.1f seconds", ms / 1000.0);
    return text;
}

std::string TSmtpClient::FaultWords(TReplyFault fault, const std::string& received) const {
    switch (fault) {
    case TReplyFault::None:
        break;
    case TReplyFault::NotConnected:
        return "The connection to the server was lost";
    case TReplyFault::Timeout:
        return "No reply from the server within " + TimeOutText();
    case TReplyFault::Closed:
        // A secure session that broke is no quiet close: its own words tell what came.
        if (!FSocket->TlsError().empty())
            return FSocket->TlsError();
        return "The server closed the connection without a reply";
    case TReplyFault::Invalid:
        return received.empty() ? "The server sent an empty line instead of a reply"
                                : "The server's reply is not SMTP: " + Quoted(received);
    case TReplyFault::LineTooLong:
        return "The server's reply has a line longer than " + std::to_string(MaxReplyLineBytes) + " bytes";
    case TReplyFault::TooManyLines:
        return "The server's reply has more than " + std::to_string(MaxContinuationLines) + " lines";
    case TReplyFault::Stall:
        return "The server took none of the data sent to it for " + TimeOutText();
    case TReplyFault::Astray:
        return "The server's reply " + Quoted(received) +
               " does not fit the command it should answer; the connection was closed for safety";
    }
    return {};
}

int TSmtpClient::Fault(TReplyFault fault, const std::string& received) {
    FReplyFault = fault;
    FFaultWords = FaultWords(fault, received);
    FLastReplyCode = 0;
    switch (fault) {
    case TReplyFault::NotConnected:
        FLastResponse = NotConnected;
        break;
    case TReplyFault::Timeout:
        FLastResponse = ReceiveTimeout;
        break;
    case TReplyFault::Stall:
        FLastResponse = SendTimeout;
        break;
    case TReplyFault::Closed:
        FLastResponse = ConnectionClosed;
        break;
    case TReplyFault::Astray:
        FLastResponse = OutOfStep;
        break;
    default:
        FLastResponse = InvalidReply;
        break;
    }
    if (fault != TReplyFault::Invalid && fault != TReplyFault::Astray)
        Display("< " + FLastResponse);
    // The dialogue is out of step: a late or further line would be taken for the answer to the next command.
    if (FState != smtpDisconnected)
        CloseSocket();
    return 554; // the code of all the replies the client makes up
}

void TSmtpClient::ReadLineInReply(std::string& line) {
    // Waits are measured on the monotonic clock (steady_clock and Qt's timers), which on Linux does not count
    // the time the computer is suspended: time asleep is no silence of the server. (CLOCK_BOOTTIME would count
    // it, and every reply in flight at a lid close would time out on waking.)
    // The first read of a reply needs no timer of its own: the wait control counts down exactly the reply's
    // time. Any later read gets what is left of it, however many lines came before.
    if (FReadsInReply++ > 0 && !FReplyDeadline->isActive()) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - FReplyStarted);
        FReplyDeadline->start(static_cast<int>(std::max<long long>(0, TimeOutMs() - elapsed.count())));
    }
    FSocket->ReadLine(ReplyTicks(), line);
}

TSmtpClient::TReplyFault TSmtpClient::ReadReplyLine(std::string& line) {
    FLineCut = false;
    TakeOrReadLine(line);
    size_t length = line.size();
    // The rest of an overlong line is read and dropped: the code and the start of the text are kept, and the
    // next reply is not taken from the middle of this one.
    while (FLineCut && FSocket->LineComplete() && FSocket->State() == wsConnected) {
        FLineCut = false;
        std::string rest;
        TakeOrReadLine(rest);
        length += rest.size();
        // Checked once the piece is counted: a line of exactly the limit passes, a byte more does not.
        if (length > MaxReplyLineBytes)
            return TReplyFault::LineTooLong;
        if (!FSocket->LineComplete())
            break;
    }
    if (!FSocket->LineComplete())
        return FStatusTimeOut ? TReplyFault::Timeout : TReplyFault::Closed;
    return TReplyFault::None;
}

void TSmtpClient::TakeOrReadLine(std::string& line) {
    // Once the deadline has passed only what has arrived counts, but all of it does: a computer that slept
    // wakes to its timers and to the replies that came meanwhile in no set order, and a reply that is there is
    // no silence of the server.
    if (!FStatusTimeOut)
        ReadLineInReply(line);
    if (FStatusTimeOut && !FSocket->LineComplete() && FSocket->State() == wsConnected)
        FSocket->TakeLine(line);
}

int TSmtpClient::ReadResponse(bool final) {
    FReplyLines.clear();
    FReplyFault = TReplyFault::None;
    FLastReplyCode = 0;
    if (FState != smtpDisconnected)
        Flush();
    if (FState == smtpDisconnected) {
        FPending.clear();
        return Fault(TReplyFault::NotConnected, {});
    }
    // The server cannot answer what has not reached it: on a slow link the reply's time starts once the last
    // byte left, and until then the send only has to keep moving.
    if (!FSocket->SendAll(FTimeOut))
        return Fault(FState == smtpDisconnected ? TReplyFault::NotConnected : TReplyFault::Stall, {});
    FFinalReply = final;
    // One deadline for the whole reply: a server that trickles continuation lines gets no more time than one
    // that says nothing (RFC 5321 4.5.3.2 times a reply, not a line).
    FReplyStarted = std::chrono::steady_clock::now();
    FReadsInReply = 0;
    struct TStopDeadline {
        QTimer* Timer;
        bool& Final;
        ~TStopDeadline() {
            Timer->stop();
            Final = false;
        }
    } stop{FReplyDeadline, FFinalReply};
    for (;;) {
        std::string line;
        const TReplyFault fault = ReadReplyLine(line);
        if (fault != TReplyFault::None)
            return Fault(fault, line);
        FLastResponse = line;
        if (OnDisplay) // the shown text is built only when someone shows it
            Display("< " + line);
        FReplyLines.push_back(line);
        const int code = ValidReplyCode(line);
        if (code == 0)
            return Fault(TReplyFault::Invalid, line);
        // Every line of one reply carries its code (RFC 5321 4.2.1): another code is another reply.
        if (code != ValidReplyCode(FReplyLines.front()))
            return Fault(TReplyFault::Astray, line);
        if (!Continues(line)) {
            FLastReplyCode = code;
            return code;
        }
        if (FReplyLines.size() > MaxContinuationLines)
            return Fault(TReplyFault::TooManyLines, line);
    }
}

void TSmtpClient::NoteFailure() {
    if (FErrorMessage.empty())
        FErrorMessage = FReplyFault == TReplyFault::None ? FLastResponse : FFaultWords;
}

bool TSmtpClient::CheckResponse(std::initializer_list<int> accepted, bool closeOnError) {
    const int code = ReadResponse();
    bool failed = true;
    for (int expected : accepted)
        if (code == expected && FLastReplyCode != 0)
            failed = false;
    if (failed) {
        NoteFailure();
        if (closeOnError && FState != smtpDisconnected)
            CloseSocket();
    }
    return failed;
}
