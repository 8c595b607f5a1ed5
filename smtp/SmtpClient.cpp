// The SMTP client: one line per command, one reply per wait, a header block and body in the message's charset.
#include "smtp/SmtpClient.h"

#include "framework/core/Application.h"
#include "framework/core/Text.h"

#include <algorithm>

namespace {

// Lines wait in the client until a reply is awaited or this much is queued: one write per message body
// instead of one per line, with the same bytes on the wire. Writing each line at once with TCP_NODELAY would
// also avoid Nagle's wait for the server's delayed acknowledgement, but every write wakes the server: on
// loopback that costs about twice the client CPU per 1 KB message. With one write per awaited reply a write
// follows another only inside bodies longer than FlushBytes; with 128 KB bodies on loopback no stall showed
// there, and TCP_NODELAY only added CPU.
constexpr size_t FlushBytes = 65536;

// Pending messages run before each line and after each body line, so the window repaints and the user's Stop
// is seen between messages. A person notices nothing quicker than this, while a pass over the event queue per
// line costs more than the line itself.
constexpr std::chrono::milliseconds ProcessInterval{5};

// A value that goes into a command or header line: CR and LF become blanks, so it can never start a line of
// its own on the wire (RFC 5321 2.3.8 allows no bare CR or LF there anyway).
std::string OneLine(std::string value) {
    for (char& ch : value)
        if (ch == '\r' || ch == '\n')
            ch = ' ';
    return value;
}

std::string Address(const std::string& value) {
    return OneLine(Text::Trim(value));
}

} // namespace

TSmtpClient::TSmtpClient(QObject* owner)
    : QObject(owner), FSocket(std::make_unique<TAsyncSocket>()), FReplyDeadline(new QTimer(this)) {
    FSocket->OnSessionClosed = [this](TCustomAsyncSocket* sender, int error) { SocketSessionClosed(sender, error); };
    FSocket->OnSessionConnected = [this](TCustomAsyncSocket*, int error) { FConnectError = error; };
    FReplyDeadline->setSingleShot(true);
    FReplyDeadline->setTimerType(Qt::PreciseTimer);
    connect(FReplyDeadline, &QTimer::timeout, this, [this] {
        FStatusTimeOut = true;
        if (FWait)
            FWait->Stop();
    });
    // The socket cuts reply lines at 254 characters; the pieces after the cut belong to the same line.
    FSocket->OnLineTooLong = [this](TCustomAsyncSocket*) { FLineCut = true; };
    FComposer.OnHeaderLine = [this](char* line, int size) {
        if (OnHeaderLine)
            OnHeaderLine(this, line, size);
    };
    // While a body goes out the window stays alive, and a connection that went ends the body.
    FComposer.Proceed = [this] {
        ProcessMessages();
        return FState == smtpConnected;
    };
}

TSmtpClient::~TSmtpClient() {
    FSocket.reset(); // a socket being destroyed fires no events, so nothing calls back into this object
}

void TSmtpClient::SetWait(TCustomWait* wait) {
    FWait = wait;
    FSocket->SetWaitCtrl(wait);
}

void TSmtpClient::Display(const std::string& msg) {
    if (OnDisplay)
        OnDisplay(this, msg);
}

void TSmtpClient::WaitTimeout(TCustomWait*) {
    FStatusTimeOut = true;
}

void TSmtpClient::SocketSessionClosed(TCustomAsyncSocket*, int) {
    SetState(smtpDisconnected);
    FPending.clear();
    if (FWait)
        FWait->Stop();
}

void TSmtpClient::CloseSocket() {
    FPending.clear();
    FSocket->Close();
    // A socket closed before it ever connected reports no session end; the client is disconnected all the same.
    SetState(smtpDisconnected);
}

void TSmtpClient::ProcessMessages() {
    if (std::chrono::steady_clock::now() - FMessagesProcessed < ProcessInterval)
        return;
    Application::ProcessMessages();
    FMessagesProcessed = std::chrono::steady_clock::now();
}

void TSmtpClient::Flush() {
    if (FPending.empty())
        return;
    if (FSocket->State() != wsConnected) {
        // The socket went without telling (a reset raised as an error): the lines have nowhere to go.
        FPending.clear();
        SetState(smtpDisconnected);
        return;
    }
    std::string bytes;
    bytes.swap(FPending);
    FSocket->SendText(bytes);
    // The emptied buffer goes back, so the next message's lines find its room already there.
    if (FPending.empty()) {
        bytes.clear();
        FPending.swap(bytes);
    }
}

void TSmtpClient::SendCommand(std::string_view line) {
    SendCommand(line, line);
}

void TSmtpClient::SendCommand(std::string_view line, std::string_view shown) {
    if (FState == smtpDisconnected)
        return;
    if (OnDisplay) // the text of every line is built only when someone shows it
        Display("> " + std::string(shown));
    ProcessMessages();
    // The pending messages may have carried the close of the connection: then nothing goes out, as if the
    // connection had been gone before, and the reply that follows reads "554 not connected".
    if (FState == smtpDisconnected)
        return;
    FPending.append(line).append("\r\n");
    if (FPending.size() >= FlushBytes)
        Flush();
}

bool TSmtpClient::Open() {
    if (!FWait) {
        FErrorMessage = "No wait object";
        Display(FErrorMessage);
        return false;
    }
    {
        QPointer<TSmtpClient> self(this);
        FWait->OnTimeout = [self](TCustomWait* sender) {
            if (self)
                self->WaitTimeout(sender);
        };
    }
    FStatusTimeOut = false;
    if (FState != smtpDisconnected)
        return true;
    FErrorMessage.clear();
    // The reply of an earlier connection (the 221 of its QUIT) must not pass for this attempt's: a failed
    // connect would be reported and logged in words the server never said to it.
    FLastResponse.clear();
    FCapabilities.Clear();
    FSecurityFailure = false;
    FLastReplyCode = 0;
    FReplyLines.clear();
    FResetNeeded = false;
    if (FHost.empty()) {
        FErrorMessage = "No host specified";
        Display(FErrorMessage);
        return false;
    }
    FConnectError = 0;
    try {
        FSocket->SetProto("tcp");
        FSocket->SetPort(FPort);
        // A reconnect takes the address found before: looking the name up again would block the window.
        try {
            FSocket->SetAddr(FHostAddress.empty() ? FHost : FHostAddress);
        } catch (const ESocketException&) {
            throw ESocketException("The server name '" + FHost +
                                   "' was not found: check the SMTP server's name and the network connection.");
        }
        FSocket->OnDataAvailable = nullptr; // every received byte goes to the line reader
        FSocket->Connect();
    } catch (const ESocketException& error) {
        FErrorMessage = error.what();
        // A connect that failed after the handle was made leaves it open; the next Open must find it closed.
        if (FSocket->State() != wsClosed)
            CloseSocket();
        return false;
    }
    if (!FSocket->Wait(FTimeOut, wsConnected)) {
        FErrorMessage = "Can't connect to host '" + FHost + "'";
        if (FConnectError != 0)
            FErrorMessage += ": " + SocketErrorText(FConnectError);
        else if (FStatusTimeOut)
            FErrorMessage += ": no answer within " + TimeOutText();
        Display(FErrorMessage);
        CloseSocket();
        return false;
    }
    if (FHostAddress.empty())
        FHostAddress = FSocket->GetPeerAddress();
    Display("Connected with SMTP server");
    SetState(smtpConnecting);
    if (FSecurity == TSmtpSecurity::Tls && !Secure())
        return false;
    if (CheckResponse({220}, true)) {
        // A server that expects TLS from the first byte waits silently for it: the usual cause on port 465.
        if (FReplyFault == TReplyFault::Timeout && FSecurity != TSmtpSecurity::Tls && FPort == "465")
            FErrorMessage = "The server '" + FHost + "' did not answer on port 465 within " + TimeOutText() +
                            ". Port 465 usually wants SSL/TLS: choose it under Security.";
        return false;
    }
    if (!Greet())
        return false;
    SetState(smtpConnected);
    return true;
}

bool TSmtpClient::SendRecipients(const std::vector<std::string>& recipients) {
    for (const std::string& recipient : recipients) {
        SendCommand("RCPT TO:<" + Address(recipient) + ">");
        if (CheckResponse({250, 251}, false))
            return false;
    }
    return true;
}

bool TSmtpClient::Mail() {
    return Mail(PropertyMessage());
}

TMailMessage TSmtpClient::PropertyMessage() {
    TMailMessage message;
    message.ReturnPath = FFromName;
    message.Recipients = FRcptName;
    message.Recipients.insert(message.Recipients.end(), FRcptCcName.begin(), FRcptCcName.end());
    message.From = FHdrFrom;
    message.To = FHdrTo;
    message.Cc = FHdrcc;
    message.Subject = FHdrSubject;
    message.Body = [this]() -> TMailMessage::TLineReader {
        return [this, lineNum = 1](std::string& line) mutable {
            if (!OnGetData)
                return false;
            bool more = true;
            OnGetData(this, lineNum++, FLineBuffer, MaxLineLength, more);
            FLineBuffer[MaxLineLength] = '\0';
            line.assign(FLineBuffer);
            return more;
        };
    };
    return message;
}

bool TSmtpClient::Mail(const TMailMessage& message) {
    FUnconfirmed = false;
    FNotSendable = false;
    FMessageId.clear();
    FAborted = false;
    bool begun = false;
    for (bool retried = false;; retried = true) {
        const bool kept = FState == smtpConnected && ConnectionReady();
        if (FState == smtpDisconnected && !Open())
            return false;
        // Each message's failure stands on its own: an earlier one on this connection has been told already.
        FErrorMessage.clear();
        const TMailStep failed = Transaction(message, begun);
        if (failed == TMailStep::None)
            return true;
        // A kept connection that the server had closed (or was closing) before it took any of this message: the
        // close crossed the MAIL on the way. Once on a new connection is no resend, nothing had been accepted.
        const bool crossed =
            FReplyFault == TReplyFault::Closed || FReplyFault == TReplyFault::NotConnected || FLastReplyCode == 421;
        if (failed != TMailStep::Mail || !kept || retried || !crossed || FAborted)
            return false;
        Display("The server closed the connection; sending again on a new one");
        CloseSocket();
    }
}

bool TSmtpClient::ConnectionReady() {
    // Some servers close after a number of messages: the close may already be here, its event not yet.
    if (!FSocket->Quiet()) {
        CloseSocket();
        return false;
    }
    if (!FResetNeeded)
        return true;
    // A failed transaction is never continued (RFC 5321 4.1.1.5).
    SendCommand("RSET");
    if (CheckResponse({250}, true))
        return false;
    FResetNeeded = false;
    return true;
}

TSmtpClient::TMailStep TSmtpClient::Transaction(const TMailMessage& message, bool& begun) {
    // The message is made before the envelope goes: one that cannot go as it is, or that is larger than the
    // server said it takes (RFC 1870), is refused here and the server never sees it.
    // Once per message: a body from a handler reads only once, and a second connection after a crossed close
    // sends the message as it was made.
    if (!begun) {
        FComposer.SetEightBit(EightBitAccepted());
        FComposer.Begin(message);
        FMessageId = FComposer.MessageId();
        begun = true;
    }
    if (!FComposer.Problem().empty()) {
        FErrorMessage = "The message was not sent: " + FComposer.Problem() + ".";
        Display(FErrorMessage);
        RefuseUnsent();
        return TMailStep::Refused;
    }
    if (const uint64_t limit = SizeLimit(); limit > 0 && FComposer.SizeEstimate() > limit) {
        FErrorMessage = "The message is " + TMessageComposer::SizeText(FComposer.SizeEstimate()) +
                        ", larger than the " + TMessageComposer::SizeText(limit) +
                        " the server takes; it was not sent.";
        Display(FErrorMessage);
        RefuseUnsent();
        return TMailStep::Refused;
    }
    FResetNeeded = true;
    // RFC 6152: a server that offered 8BITMIME is told the body may hold 8-bit text (a 7-bit body is allowed too).
    SendCommand("MAIL FROM:<" + Address(message.ReturnPath) + ">" + (EightBitAccepted() ? " BODY=8BITMIME" : ""));
    if (CheckResponse({250}, false))
        return TMailStep::Mail;
    if (!SendRecipients(message.Recipients))
        return TMailStep::Rcpt;
    SendCommand("DATA");
    const unsigned long passes = FWait ? FWait->Passes() : 0;
    if (CheckResponse({354}, false))
        return TMailStep::Data;
    // Anything after the 354 would be read as the reply to the final dot: the message could count as sent
    // although the server never confirmed it.
    if (FSocket->Holding()) {
        if (FErrorMessage.empty())
            FErrorMessage = "The server sent more than its reply to DATA; the connection was closed for safety and "
                            "the message was not sent.";
        Display(FErrorMessage);
        CloseSocket();
        return TMailStep::Data;
    }
    // Once per message whatever the interval: a window closed or a Stop clicked while the envelope went out is
    // seen before any byte of the message leaves, even when every reply came too fast for a wait. The wait for
    // the reply to DATA lets them run as well: after one, only the usual interval applies.
    if (!FWait || FWait->Passes() == passes)
        FMessagesProcessed = {};
    ProcessMessages();
    const TMessageComposer::TLineSink put = [this](std::string_view line) { SendDataLine(line); };
    FComposer.PutMessage(put);
    if (!FComposer.Problem().empty() && FState != smtpDisconnected) {
        // A file that broke off while it went out: without the final dot the server drops what it has, and a
        // message with half a file is never delivered.
        FErrorMessage = "The message was not sent: " + FComposer.Problem() + ".";
        Display(FErrorMessage);
        CloseSocket();
        return TMailStep::Dot;
    }
    SendCommand(".");
    Flush();
    // Only a dot that left the client can have been taken by the server.
    const bool dotSent = FState != smtpDisconnected;
    const int code = ReadResponse();
    if (FLastReplyCode != 0)
        FResetNeeded = false; // the final reply ends the transaction, whatever it says
    if (code >= 200 && code <= 299 && FLastReplyCode != 0)
        return TMailStep::None;
    NoteFailure();
    FUnconfirmed = dotSent && FLastReplyCode == 0;
    return TMailStep::Dot;
}

void TSmtpClient::RefuseUnsent() {
    // No reply belongs to this message: an earlier one's must not be taken for the server's verdict on it.
    FNotSendable = true;
    FLastReplyCode = 0;
    FLastResponse.clear();
}

uint64_t TSmtpClient::SizeLimit() const {
    const std::vector<std::string> params = FCapabilities.Params("SIZE");
    if (params.empty())
        return 0;
    try {
        return std::stoull(params.front());
    } catch (const std::exception&) {
        return 0; // no number: no limit announced
    }
}

std::vector<std::string> TSmtpClient::MessageLines() {
    // A composer of its own: a look at a message is no Mail, and needs neither a connection nor the window.
    TMessageComposer composer;
    composer.OnHeaderLine = FComposer.OnHeaderLine;
    std::vector<std::string> lines;
    composer.Compose(PropertyMessage(), [&lines](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

// An 8-bit body may go out unencoded only to a server that offered 8BITMIME over EHLO (RFC 6152), with
// BODY=8BITMIME on MAIL. Without a connection (MessageLines) nothing was offered.
bool TSmtpClient::EightBitAccepted() const {
    return FState != smtpDisconnected && FCapabilities.Has("8BITMIME");
}

void TSmtpClient::SendDataLine(std::string_view line) {
    // RFC 5321 4.5.2: a line that starts with "." gets one more in front.
    if (!line.empty() && line.front() == '.') {
        FStuffed.assign(1, '.').append(line);
        SendCommand(FStuffed);
    } else {
        SendCommand(line);
    }
}

void TSmtpClient::Quit() {
    if (FState == smtpDisconnected)
        return;
    try {
        SendCommand("QUIT");
        ReadResponse();
    } catch (...) {
        // The connection ends anyway; nothing about it is worth a failure.
    }
    SetState(smtpDisconnected);
    try {
        // The orderly end: close_notify, then the connection's own end. Faults close without either.
        FSocket->EndTls();
        FSocket->Close();
    } catch (...) {
    }
}

void TSmtpClient::Abort() {
    FAborted = true;
    try {
        CloseSocket();
    } catch (...) {
        // Closing a socket gives nothing back worth reporting.
    }
    if (FWait)
        FWait->Stop();
}
