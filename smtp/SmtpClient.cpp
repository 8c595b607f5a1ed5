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
        return FState == smtpConnected && !FStopping;
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
    // Bytes the server sent before its close and nobody read: replies to nothing, or to commands not yet answered.
    try {
        FUnreadAtClose = FSocket->Handle() != INVALID_SOCKET && FSocket->RcvdCount() > 0;
    } catch (const ESocketException&) {
        FUnreadAtClose = false;
    }
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

void TSmtpClient::QueueBytes(std::string_view bytes) {
    if (FState == smtpDisconnected)
        return;
    FPending.append(bytes);
    if (FPending.size() >= FlushBytes)
        Flush();
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
    FUnreadAtClose = false;
    if (FStalls >= StallsToGiveUp) {
        FErrorMessage = "The server '" + FHost + "' greets but then answers nothing (no reply within " +
                        TimeOutText() + ", " + std::to_string(FStalls) +
                        " times in a row); no further connection was tried. Try again later or ask its administrator.";
        Display(FErrorMessage);
        return false;
    }
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
    if (FState == smtpDisconnected) {
        FErrorMessage = FaultWords(TReplyFault::Closed, {});
        return false;
    }
    SetState(smtpConnected);
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
    bool given = false;
    bool accepted = false;
    MailQueue(
        [&given, &message](TMailMessage& next, int& id) {
            if (given)
                return false;
            given = true;
            next = message;
            id = 0;
            return true;
        },
        [&accepted](int, bool ok) { accepted = ok; });
    return accepted;
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
    return FEightBitBodies && FState != smtpDisconnected && FCapabilities.Has("8BITMIME");
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
    // The end of a run: the next one tries the server afresh.
    FStalls = 0;
    FStopping = false;
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

void TSmtpClient::CopySettings(const TSmtpClient& other) {
    SetHost(other.FHost);
    FHostAddress = other.FHostAddress; // found once: a further connection does not wait for the resolver again
    FPort = other.FPort;
    FSignOn = other.FSignOn;
    FFromName = other.FFromName;
    FRcptName = other.FRcptName;
    FRcptCcName = other.FRcptCcName;
    FHdrFrom = other.FHdrFrom;
    FHdrTo = other.FHdrTo;
    FHdrcc = other.FHdrcc;
    FHdrSubject = other.FHdrSubject;
    FTimeOut = other.FTimeOut;
    FSecurity = other.FSecurity;
    FUserName = other.FUserName;
    FPassword = other.FPassword;
    FAllowClearPassword = other.FAllowClearPassword;
    FTrustedCertificate = other.FTrustedCertificate;
    FExtended = other.FExtended;
    FEightBitBodies = other.FEightBitBodies;
    FPipelining = other.FPipelining;
    FChunking = other.FChunking;
}

void TSmtpClient::AdoptOutcome(const TSmtpClient& other) {
    FLastResponse = other.FLastResponse;
    FLastReplyCode = other.FLastReplyCode;
    FReplyLines = other.FReplyLines;
    FErrorMessage = other.FErrorMessage;
    FSecurityFailure = other.FSecurityFailure;
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
