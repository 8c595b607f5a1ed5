// The SMTP client: one line per command, one reply per wait, a header block and body in the message's charset.
#include "smtp/SmtpClient.h"

#include "framework/core/Application.h"
#include "framework/core/Text.h"
#include "smtp/Mime.h"

#include <algorithm>
#include <cstring>
#include <ctime>

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

// Where the first CR or LF of text stands, or its size. Two scans with memchr, which takes many bytes a step,
// beat one loop that tests every byte for both.
size_t LineBreak(std::string_view text) {
    const auto* lf = static_cast<const char*>(std::memchr(text.data(), '\n', text.size()));
    const size_t end = lf != nullptr ? static_cast<size_t>(lf - text.data()) : text.size();
    const auto* cr = static_cast<const char*>(std::memchr(text.data(), '\r', end));
    return cr != nullptr ? static_cast<size_t>(cr - text.data()) : end;
}

// A header value with something in it besides blanks and control characters.
bool HasText(std::string_view value) {
    return std::any_of(value.begin(), value.end(), [](char ch) { return static_cast<unsigned char>(ch) > 32; });
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
    FUnconfirmed = false;
    FMessageId.clear();
    FAborted = false;
    for (bool retried = false;; retried = true) {
        const bool kept = FState == smtpConnected && ConnectionReady();
        if (FState == smtpDisconnected && !Open())
            return false;
        // Each message's failure stands on its own: an earlier one on this connection has been told already.
        FErrorMessage.clear();
        const TMailStep failed = Transaction();
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

TSmtpClient::TMailStep TSmtpClient::Transaction() {
    FResetNeeded = true;
    // RFC 6152: a server that offered 8BITMIME is told the body may hold 8-bit text (a 7-bit body is allowed too).
    SendCommand("MAIL FROM:<" + Address(FFromName) + ">" + (EightBitAccepted() ? " BODY=8BITMIME" : ""));
    if (CheckResponse({250}, false))
        return TMailStep::Mail;
    if (!SendRecipients(FRcptName) || !SendRecipients(FRcptCcName))
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
    FEventsSeen = FWait && FWait->Passes() != passes;
    ComposeMessage([this](std::string_view line) { SendDataLine(line); });
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

std::vector<std::string> TSmtpClient::MessageLines() {
    std::vector<std::string> lines;
    const std::string messageId = FMessageId;
    FComposing = true;
    try {
        ComposeMessage([&lines](std::string_view line) { lines.emplace_back(line); });
    } catch (...) {
        FComposing = false;
        FMessageId = messageId;
        throw;
    }
    FComposing = false;
    FMessageId = messageId; // a look at a message is no Mail
    return lines;
}

void TSmtpClient::ComposeMessage(const TLineSink& put) {
    PullBody();
    PutHeaderBlock(put);
    put("");
    PutBody(put);
}

bool TSmtpClient::Composing() const {
    return FComposing || FState == smtpConnected;
}

// The header block: the lines of the message's own values, each offered to OnHeaderLine, then encoded in the
// message's charset and folded. The charset depends on the whole message, so the body is pulled first.
void TSmtpClient::PutHeaderBlock(const TLineSink& put) {
    FHeaderLines.Clear();
    OfferHeaderLine("From: ", FHdrFrom);
    OfferHeaderLine("To: ", FHdrTo);
    // An empty Cc line is no header at all (RFC 5322 3.6.3 wants at least one address after "Cc:").
    if (HasText(FHdrcc))
        OfferHeaderLine("Cc: ", FHdrcc);
    OfferHeaderLine("Subject: ", FHdrSubject);
    // RFC 5322 3.6 requires Date; providers refuse or penalise mail without a Message-ID. Messages of the same
    // second share their Date text, made once.
    const std::time_t now = std::time(nullptr);
    if (now != FDateMoment) {
        FDateValue = Mime::DateValue(now);
        FDateMoment = now;
    }
    OfferHeaderLine("Date: ", FDateValue);
    FMessageId = Mime::NewMessageId(Address(FFromName));
    OfferHeaderLine("Message-ID: ", FMessageId);
    OfferHeaderLine("Mime-Version: 1.0", {});

    Mime::TCharset charset = Mime::TCharset::UsAscii;
    for (size_t i = 0; i < FHeaderLines.Size(); ++i)
        charset = Mime::Wider(charset, Mime::CharsetOf(FHeaderLines[i]));
    bool shortLines = true;
    for (size_t i = 0; i < FBody.Size(); ++i) {
        charset = Mime::Wider(charset, Mime::CharsetOf(FBody[i]));
        shortLines = shortLines && FBody[i].size() <= MaxWireLine;
    }
    // The rest of a body longer than the look-ahead is unknown: UTF-8 holds whatever it brings.
    if (!FBodyComplete)
        charset = Mime::TCharset::Utf8;
    FCharset = charset;
    // Quoted-printable unless the whole body is known to fit as it is.
    FBodyEncoding = BodyEncoding::QuotedPrintable;
    if (FBodyComplete && charset == Mime::TCharset::UsAscii && shortLines)
        FBodyEncoding = BodyEncoding::SevenBit; // the first version's body bytes, unchanged
    else if (FBodyComplete && EightBitAccepted() && EncodedLinesFit())
        FBodyEncoding = BodyEncoding::EightBit;
    OfferHeaderLine("Content-Type: text/plain; charset=\"", std::string(Mime::CharsetName(charset)) + "\"");
    OfferHeaderLine("Content-Transfer-Encoding: ", FBodyEncoding == BodyEncoding::SevenBit   ? "7bit"
                                                   : FBodyEncoding == BodyEncoding::EightBit ? "8bit"
                                                                                             : "quoted-printable");
    for (size_t i = 0; i < FHeaderLines.Size(); ++i) {
        const std::string_view line = FHeaderLines[i];
        if (Mime::FitsAsItIs(line))
            put(line);
        else
            for (const std::string& folded : Mime::FoldHeader(Mime::EncodeHeaderLine(line, charset)))
                put(folded);
    }
    FHeaderLines.Clear();
}

void TSmtpClient::OfferHeaderLine(std::string_view head, std::string_view value) {
    // Built straight in the buffer the handler sees, with room for the lines it may add. An address value goes
    // whole: cut, it would lose its address or the ">" that lets its display name be encoded; encoding and folding
    // keep its lines under the wire's limit. Any other value too long for the handler's line is cut at its end,
    // never inside a character. CR and LF become blanks, as in every value that goes into a line.
    const bool address = head == "From: " || head == "To: " || head == "Cc: ";
    const size_t total = head.size() + value.size();
    const auto byteAt = [&](size_t i) {
        return static_cast<unsigned char>(i < head.size() ? head[i] : value[i - head.size()]);
    };
    size_t length = address ? total : std::min(total, static_cast<size_t>(MaxLineLength));
    while (length > 0 && length < total && (byteAt(length) & 0xC0) == 0x80)
        --length;
    FHeaderBuffer.assign(length < static_cast<size_t>(LineBufferSize) ? LineBufferSize : length + LineBufferSize, '\0');
    const size_t fromHead = std::min(length, head.size());
    std::memcpy(FHeaderBuffer.data(), head.data(), fromHead);
    for (size_t i = fromHead; i < length; ++i) {
        const char ch = value[i - head.size()];
        FHeaderBuffer[i] = ch == '\r' || ch == '\n' ? ' ' : ch;
    }
    SendHeaderLine(FHeaderBuffer.data(), static_cast<int>(FHeaderBuffer.size()));
}

void TSmtpClient::SendHeaderLine(char* buffer, int size) {
    if (OnHeaderLine)
        OnHeaderLine(this, buffer, size);
    // Lines the handler appended after CR LF are header lines of their own.
    std::string_view rest(buffer, strnlen(buffer, static_cast<size_t>(size)));
    while (!rest.empty()) {
        const size_t end = LineBreak(rest);
        if (end > 0)
            FHeaderLines.Append(rest.substr(0, end));
        rest.remove_prefix(std::min(rest.size(), end + (rest.substr(end, 2) == "\r\n" ? 2 : 1)));
    }
}

bool TSmtpClient::PullLine() {
    if (!OnGetData || !Composing())
        return false;
    bool more = true;
    try {
        OnGetData(this, FLineNum, FLineBuffer, MaxLineLength, more);
    } catch (...) {
        more = false; // a failing feed ends the body; the final dot and its reply decide
    }
    if (!more)
        return false;
    FLineBuffer[MaxLineLength] = '\0';
    // A CR or LF inside a line starts a new line here, so each piece is dot-stuffed on its own and a lone "."
    // from the feed can never end the message early (RFC 5321 4.5.2).
    std::string_view rest(FLineBuffer);
    for (;;) {
        const size_t end = LineBreak(rest);
        FBody.Append(rest.substr(0, end));
        if (end == rest.size())
            break;
        rest.remove_prefix(end + (rest.substr(end, 2) == "\r\n" ? 2 : 1));
    }
    ++FLineNum;
    if (!FComposing)
        ProcessMessages();
    return true;
}

void TSmtpClient::PullBody() {
    // Once per message whatever the interval: a window closed or a Stop clicked while the envelope went out
    // is seen before any byte of the message leaves, even when every reply came too fast for a wait. The wait
    // for the reply to DATA lets them run as well: after one, only the usual interval applies.
    if (!FEventsSeen)
        FMessagesProcessed = {};
    FEventsSeen = false;
    if (!FComposing)
        ProcessMessages();
    FBody.Clear();
    FLineNum = 1;
    FBodyComplete = false;
    size_t bytes = 0;
    while (bytes < BodyLookAhead) {
        const size_t before = FBody.Size();
        if (!PullLine()) {
            FBodyComplete = true;
            return;
        }
        for (size_t i = before; i < FBody.Size(); ++i)
            bytes += FBody[i].size() + 2;
    }
}

bool TSmtpClient::EncodedLinesFit() const {
    for (size_t i = 0; i < FBody.Size(); ++i)
        if (Mime::Encode(FBody[i], FCharset).size() > MaxWireLine)
            return false;
    return true;
}

// An 8-bit body may go out unencoded only to a server that offered 8BITMIME over EHLO (RFC 6152), with
// BODY=8BITMIME on MAIL. Without a connection (MessageLines) nothing was offered.
bool TSmtpClient::EightBitAccepted() const {
    return FState != smtpDisconnected && FCapabilities.Has("8BITMIME");
}

void TSmtpClient::PutBody(const TLineSink& put) {
    // The lines pulled ahead, then the rest of a body longer than the look-ahead as the feed hands it out.
    for (size_t i = 0;; ++i) {
        if (i == FBody.Size()) {
            FBody.Clear();
            i = 0;
            if (FBodyComplete || !PullLine())
                break;
        }
        if (!Composing())
            break;
        if (FBodyEncoding == BodyEncoding::QuotedPrintable) {
            for (const std::string& piece : Mime::QuotedPrintable(Mime::Encode(FBody[i], FCharset)))
                put(piece);
        } else if (FBodyEncoding == BodyEncoding::SevenBit) {
            put(FBody[i]); // ASCII throughout: its bytes are its encoding
        } else {
            put(Mime::Encode(FBody[i], FCharset));
        }
    }
    FBody.Clear();
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
