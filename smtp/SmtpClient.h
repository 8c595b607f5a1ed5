// The client side of an SMTP dialogue (RFC 821: HELO, MAIL, RCPT, DATA, QUIT) as blocking calls over the
// event-driven socket; failures come back as a false result with ErrorMessage and LastResponse.
#pragma once

#include "net/AsyncSocket.h"
#include "net/Wait.h"
#include "smtp/MailMessage.h"
#include "smtp/MessageComposer.h"
#include "smtp/SmtpCapabilities.h"
#include "smtp/SmtpPipeline.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum TSmtpState : std::uint8_t { smtpDisconnected, smtpConnecting, smtpConnected };

// How the connection is protected: not at all, by STARTTLS after the greeting, or by TLS from the first byte.
enum class TSmtpSecurity : std::uint8_t { None, StartTls, Tls };

class TSmtpClient : public QObject {
    Q_OBJECT

public:
    // The line buffer handed to OnGetData and OnHeaderLine: 1023 characters and the terminating NUL.
    static constexpr int LineBufferSize = TMessageComposer::LineBufferSize;
    static constexpr int MaxLineLength = TMessageComposer::MaxLineLength;
    // Limits on one reply (RFC 5321 4.2.1 sets none): beyond them a server is not answering but flooding.
    static constexpr size_t MaxContinuationLines = 100;
    static constexpr size_t MaxReplyLineBytes = 4096;
    // No line on the wire is longer than this, CR LF not counted (RFC 5321 4.5.3.1.6).
    static constexpr size_t MaxWireLine = TMessageComposer::MaxWireLine;
    // The final reply to a message ("." or BDAT LAST) may take this many times Timeout. The server may scan the
    // content before it answers (RFC 5321 4.5.3.2 suggests 10 minutes there, 5 for other replies), and a message
    // without that answer is unknown: it is never resent by itself and needs the user's decision. A minute at the
    // default Timeout is still a wait a person at the window accepts. The other timeouts stay at Timeout: a
    // missed reply before the content only costs a later retry, and a send that makes no progress for Timeout
    // (the data-block timeout) means the link or the server is gone, however slow the link is.
    static constexpr int FinalReplyFactor = 3;

    explicit TSmtpClient(QObject* owner = nullptr);
    ~TSmtpClient() override;
    TSmtpClient(const TSmtpClient&) = delete;
    TSmtpClient& operator=(const TSmtpClient&) = delete;

    // Server host name or dotted IPv4 address.
    std::string Host() const { return FHost; }
    void SetHost(const std::string& value) {
        FHost = value;
        FHostAddress.clear();
    }
    // Port number or service name; "smtp" by default.
    std::string Port() const { return FPort; }
    void SetPort(const std::string& value) { FPort = value; }
    // Argument of HELO and EHLO; when empty, the machine's name if it is fully qualified, else the address literal
    // of this end of the connection ("[192.0.2.7]").
    std::string SignOn() const { return FSignOn; }
    void SetSignOn(const std::string& value) { FSignOn = value; }
    // Envelope sender, sent trimmed inside "MAIL FROM:<...>".
    std::string FromName() const { return FFromName; }
    void SetFromName(const std::string& value) { FFromName = value; }
    // Envelope recipients, one address per entry, each sent trimmed; the Cc list goes after the first.
    std::vector<std::string>& RcptName() { return FRcptName; }
    const std::vector<std::string>& RcptName() const { return FRcptName; }
    void SetRcptName(std::vector<std::string> value) { FRcptName = std::move(value); }
    std::vector<std::string>& RcptCcName() { return FRcptCcName; }
    const std::vector<std::string>& RcptCcName() const { return FRcptCcName; }
    void SetRcptCcName(std::vector<std::string> value) { FRcptCcName = std::move(value); }
    // Values of the "From: ", "To: ", "Cc: " and "Subject: " header lines, as UTF-8 text: the client encodes
    // them for the wire. An empty Cc sends no "Cc:" line.
    std::string HdrFrom() const { return FHdrFrom; }
    void SetHdrFrom(const std::string& value) { FHdrFrom = value; }
    std::string HdrTo() const { return FHdrTo; }
    void SetHdrTo(const std::string& value) { FHdrTo = value; }
    std::string Hdrcc() const { return FHdrcc; }
    void SetHdrcc(const std::string& value) { FHdrcc = value; }
    std::string HdrSubject() const { return FHdrSubject; }
    void SetHdrSubject(const std::string& value) { FHdrSubject = value; }

    // The wait control of every network step; not owned. The socket gets the same control.
    TCustomWait* Wait() const { return FWait.data(); }
    void SetWait(TCustomWait* wait);
    // Ticks of the wait control per single wait; 0 or less makes the control wait 15 ticks.
    int TimeOut() const { return FTimeOut; }
    void SetTimeOut(int ticks) { FTimeOut = ticks; }
    // True once a wait ran out since the last Open.
    bool StatusTimeOut() const { return FStatusTimeOut; }
    void SetStatusTimeOut(bool value) { FStatusTimeOut = value; }
    // What went wrong in the last Mail (or in the Open before it); empty means nothing. A refusal is the
    // server's reply; what the client saw itself (no reply in time, a close, a reply that is not SMTP) is told
    // in its own words.
    std::string ErrorMessage() const { return FErrorMessage; }
    // The last reply line read since Open last began a connection, or one the client made up for a reply that
    // did not come: "554 not connected", "554 receive timeout", "554 connection closed", "554 invalid reply".
    std::string LastResponse() const { return FLastResponse; }
    // The code of the last reply the server sent (three digits, RFC 5321 4.2); 0 when none arrived since Open
    // began a connection, when the client made the reply up (timeout, close) or when it had no valid code.
    int LastReplyCode() const { return FLastReplyCode; }
    // The last Mail was refused by the client before the server saw it: too large for the server, or a file it
    // carries cannot be read. Sending it again would not change that.
    bool NotSendable() const { return FNotSendable; }
    // True when the last Mail failed after its final "." went out and before a valid reply to it arrived (the
    // connection was lost or the server stayed silent): the server may have kept the message.
    bool Unconfirmed() const { return FUnconfirmed; }
    // The Message-ID header value of the last Mail's message ("<...>"); empty when its header block was not sent.
    std::string MessageId() const { return FMessageId; }
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }
    TSmtpState State() const { return FState; }
    // The lines of the last reply, continuation lines included, as they arrived (without CR LF).
    const std::vector<std::string>& LastReplyLines() const { return FReplyLines; }
    // The address the first lookup of Host found; reconnects use it, so they never wait for the resolver.
    // Empty until a connection was made; a new Host forgets it.
    std::string HostAddress() const { return FHostAddress; }

    // Security and login. With Security None, no user name and Extended off the dialogue is the plain one
    // (HELO, MAIL, RCPT, DATA, QUIT); anything else greets with EHLO.
    TSmtpSecurity Security() const { return FSecurity; }
    void SetSecurity(TSmtpSecurity value) { FSecurity = value; }
    std::string UserName() const { return FUserName; }
    void SetUserName(const std::string& value) { FUserName = value; }
    void SetPassword(const std::string& value) { FPassword = value; }
    // A password may go over a connection that is not encrypted.
    bool AllowClearPassword() const { return FAllowClearPassword; }
    void SetAllowClearPassword(bool value) { FAllowClearPassword = value; }
    // An OAuth 2.0 login in place of the password: when set, it gives the access token before each login (false,
    // with the reason in the user's words, when none can be had), and XOAUTH2 or OAUTHBEARER is used.
    std::function<bool(TSmtpClient* sender, std::string& token, std::string& error)> OnAccessToken;
    // The server rejected the token: true when a fresh one is worth one more try on the same connection.
    std::function<bool(TSmtpClient* sender)> OnTokenRejected;
    // A file of PEM certificates trusted besides the system's store (a self-hosted server); empty for none.
    std::string TrustedCertificate() const { return FTrustedCertificate; }
    void SetTrustedCertificate(const std::string& value) { FTrustedCertificate = value; }
    // Greet with EHLO even when neither security nor a login needs it (to learn 8BITMIME or SIZE).
    bool Extended() const { return FExtended; }
    void SetExtended(bool value) { FExtended = value; }
    // Send a body that needs no encoding as 8bit to a server that offers 8BITMIME (the default); off, every
    // body goes in 7 bits, as a message composed without a connection shows it.
    bool EightBitBodies() const { return FEightBitBodies; }
    void SetEightBitBodies(bool value) { FEightBitBodies = value; }
    // The server announced keyword (upper case, as "8BITMIME") in its last EHLO reply.
    bool HasCapability(const std::string& keyword) const;
    const TSmtpCapabilities& Capabilities() const { return FCapabilities; }
    // The connection is encrypted.
    bool Encrypted() const;
    // The last Open failed at the secure connection or the login: trying again would fail the same way, and
    // providers lock an account after repeated refused logins.
    bool SecurityFailure() const { return FSecurityFailure; }

    // Progress text: every line sent ("> ...") and received ("< ..."), and the client's own messages.
    std::function<void(TSmtpClient* sender, const std::string& msg)> OnDisplay;
    // Supplies the body, one NUL-terminated line of UTF-8 text per call into msgLine (at most maxLen bytes);
    // more set to false ends the body and that call's line is not sent. The whole body is pulled before the
    // header block goes out, since the message's charset and transfer encoding depend on it.
    std::function<void(TSmtpClient* sender, int lineNum, char* msgLine, int maxLen, bool& more)> OnGetData;
    // Sees each generated header line of every message in a buffer of size bytes (at least LineBufferSize; From,
    // To and Cc values are never cut, so theirs may be larger); may change it, append CR LF and further header
    // lines, or empty it to suppress the line.
    std::function<void(TSmtpClient* sender, char* msg, int size)> OnHeaderLine;

    // Connects, reads the greeting 220, sends HELO and expects 250. True when connected at the end, or when
    // not disconnected on entry.
    bool Open();
    // Sends one message (opening the connection first when needed); true only when the server answered the
    // final "." with 2xx. A kept connection that the server closed meanwhile is replaced first, and a message
    // whose MAIL met such a close goes again once on a new connection.
    bool Mail(const TMailMessage& message);
    // Sends PropertyMessage().
    bool Mail();
    // Hands out the next message and the caller's name for it; false when none is to go now.
    using TNextMessage = std::function<bool(TMailMessage& message, int& id)>;
    // Hears a message's result. While it runs, ErrorMessage, LastResponse, LastReplyCode, NotSendable,
    // Unconfirmed and MessageId describe that message.
    using TMessageDone = std::function<void(int id, bool accepted)>;
    // Within MailQueue, right before the final "." (or BDAT LAST) of the message handed out as id is queued for
    // the socket: from here on the server may keep it. MessageId() is that message's. An exception raised here
    // ends the queue with the message's end unsent, so the server drops it.
    std::function<void(TSmtpClient* sender, int id)> OnMessageEnding;
    // Sends the messages next hands out over one connection (opened first when needed), as many in flight as the
    // server allows: with PIPELINING a message's final "." goes with the next one's envelope, with CHUNKING
    // several messages go as BDAT. done hears of every message handed out exactly once; a reply counts for the
    // message whose command it answers. Returns once next has none and all are told, or once the connection
    // ended: then each message in flight was told as failed, Unconfirmed when all of it had gone out.
    void MailQueue(const TNextMessage& next, const TMessageDone& done);
    // Use PIPELINING (RFC 2920) and CHUNKING (RFC 3030) when the server offers them; both on by default. Off, the
    // dialogue waits for each reply.
    bool Pipelining() const { return FPipelining; }
    void SetPipelining(bool value) { FPipelining = value; }
    bool Chunking() const { return FChunking; }
    void SetChunking(bool value) { FChunking = value; }
    // The message of the properties above: FromName and RcptName then RcptCcName as the envelope, the Hdr values,
    // and the body OnGetData hands out (asked from line 1 again each time the body is read).
    TMailMessage PropertyMessage();
    // Takes the settings of another client (server, security, login, sender and headers, timeouts, what the
    // dialogue may use), not its handlers, wait control or state: a further connection to the same server.
    void CopySettings(const TSmtpClient& other);
    // Takes the outcome of another client's last step (reply, error, security failure) as if this one had met
    // it: callers that read how a mailing's connections ended from one client learn of a refusal on another.
    void AdoptOutcome(const TSmtpClient& other);
    // Sends QUIT and reads its reply, swallowing every error; then disconnected with the socket closed.
    void Quit();
    // The lines Mail() would send after DATA for the current values and handlers (header block, blank line,
    // encoded body; no dot-stuffing, no final "."), built by the same composer without a connection. Date and
    // Message-ID are those of this moment; MessageId() keeps the last Mail's.
    std::vector<std::string> MessageLines();
    // The user stopped: from now on no command and no content leaves. Messages whose content went wait for
    // their final replies; the others are told as failed (not sent, to go again later), and the connection
    // closes once nothing is awaited. Quit ends the state.
    void StopSending() { FStopping = true; }
    // Drops the connection at once, without QUIT, and ends any wait in progress: a message in transfer is never
    // completed, so the server discards it. For ending a dialogue from inside one of its own waits.
    void Abort();

protected:
    // Queues one line; queued lines go out together before the next reply is awaited.
    void SendCommand(std::string_view line);
    // The same, with shown in place of the line for OnDisplay (a secret never reaches the progress text).
    void SendCommand(std::string_view line, std::string_view shown);
    // Reads one reply, all its lines within one deadline of TimeOut ticks (FinalReplyFactor times that for the
    // final reply to a message), and returns its code. The deadline starts once every queued byte has left for
    // the platform; a send that makes no progress for TimeOut ticks fails on its own. A reply that does not
    // come, does not end or is not SMTP closes the connection (what follows could not be trusted) and reads as
    // one of the client's own 554 replies.
    int ReadResponse(bool final = false);
    // Reads a reply; true means failure (its code is none of the accepted ones).
    bool CheckResponse(std::initializer_list<int> accepted, bool closeOnError);
    void Display(const std::string& msg);
    void WaitTimeout(TCustomWait* sender);
    void SocketSessionClosed(TCustomAsyncSocket* sender, int error);

private:
    // After the greeting: HELO, or EHLO with STARTTLS and the login as asked (SmtpSession.cpp).
    bool Greet();
    // The EHLO name when SignOn is empty.
    std::string DefaultSignOn();
    bool Ehlo(const std::string& signOn, bool needed);
    bool Secure();
    bool Login();
    // The login with an access token (SmtpSession.cpp).
    bool TokenLogin(const std::vector<std::string>& offered);
    // Fails Open for a reason of security or login: the text, a closed connection, no retry. The last reply
    // stays only when the refusal is the server's (quoted in text); else it would pass for the reason.
    bool Refuse(const std::string& text, bool serverReply = false);
    // What went wrong with a reply on the client's side, as opposed to a refusal in the server's words.
    // Astray: a reply that fits no step of the dialogue, or bytes nobody asked for.
    // Stall: the server took none of the bytes sent for a whole TimeOut.
    enum class TReplyFault { None, NotConnected, Timeout, Closed, Invalid, LineTooLong, TooManyLines, Astray, Stall };

    // The one place where the client's state changes.
    void SetState(TSmtpState value) { FState = value; }
    // The state of one MailQueue: its connection was kept from before, a reply was read on it, it was retried.
    struct TQueueRun {
        bool Kept = false;
        bool Answered = false;
        bool Retried = false;
    };
    // The queue's steps (SmtpClientQueue.cpp).
    TSmtpPipeline::TMode OfferedMode() const;
    bool ReadyForMessage(bool& kept);
    bool Admit(TSmtpPipeline& pipe, const TMailMessage& message, int id);
    void SendQueued(TSmtpPipeline& pipe);
    // Tells OnMessageEnding of a message whose end is about to go.
    void AnnounceEnding(const TSmtpPipeline::TMessage& message);
    // False once the connection ended.
    bool ReceiveQueued(TSmtpPipeline& pipe, TQueueRun& run);
    // The connection ends: every message not told yet is. owner, whose command the last reply (or the fault in
    // its place) answered, gets that reply; the others were lost with the connection.
    void LoseQueued(TSmtpPipeline& pipe, TSmtpPipeline::TMessage* owner);
    // The server's verdict on a message is held until the dialogue proves in step past it (Prove); now tells at
    // once a result the client itself decided.
    void Tell(TSmtpPipeline::TMessage& message, bool accepted, bool now = false);
    // After StopSending: a message none of whose final command went is told at once as not sent.
    void TellStopped(TSmtpPipeline::TMessage& message);
    // After StopSending: every such message is told; true once nothing is awaited and the connection is closed.
    bool Stopped(TSmtpPipeline& pipe);
    void TellRefused(TSmtpPipeline::TMessage& message);
    // A reply code the command can get (RFC 5321 4.3.2); only 250 ends a message as delivered.
    static bool Fits(TSmtpPipeline::TStep step, int code);
    // Nothing is awaited: true when nothing unasked waits either, and the held verdicts are told as heard. False
    // once the connection ended; verdicts that could not be proved are told as unknown or deferred. Given the
    // queue's run, messages none of whose commands went are taken once to a new connection instead.
    bool InStep(TSmtpPipeline& pipe, TQueueRun* run = nullptr);
    // The server closed before it took anything of the queued messages: they go again, once, on a new connection
    // that speaks as the old one did. False when that is not to be had.
    bool Reconnect(TSmtpPipeline& pipe, TQueueRun& run);
    // Bytes have arrived that no command asked for (the connection stays open).
    bool Unasked();
    void Prove();
    // The held verdicts cannot be trusted: a message whose content went may have been delivered, the others go
    // again later.
    void Disprove(const std::string& words);
    // The reply the client makes up for a connection that closed.
    static std::string ClosedResponse();
    // Queues raw bytes (BDAT content) like SendCommand's lines.
    void QueueBytes(std::string_view bytes);
    // The largest message the server announced it takes (SIZE over EHLO); 0 when it named none.
    uint64_t SizeLimit() const;
    void RefuseUnsent();
    // A kept connection that still carries a new transaction: not closed by the server since the last reply,
    // and the last failed transaction reset. Otherwise it is dropped.
    bool ConnectionReady();
    // One line of a reply, the tail of an overlong one read and dropped within MaxReplyLineBytes.
    TReplyFault ReadReplyLine(std::string& line);
    // One ReadLine of the socket within the reply's deadline.
    void ReadLineInReply(std::string& line);
    // ReadLineInReply, or once the deadline passed, what has arrived of the line.
    void TakeOrReadLine(std::string& line);
    int Fault(TReplyFault fault, const std::string& received);
    std::string FaultWords(TReplyFault fault, const std::string& received) const;
    // The last reply's failure becomes the error, unless an earlier step of this message set one.
    void NoteFailure();
    // The reply's time in ticks of the wait control (the final reply's FinalReplyFactor times more), and in ms.
    int ReplyTicks() const;
    int TimeOutMs() const;
    // The reply timeout in the user's words ("15 seconds").
    std::string TimeOutText() const;
    // One line of the message on the wire, dot-stuffed.
    void SendDataLine(std::string_view line);
    // True when the server takes 8-bit bodies as they are.
    bool EightBitAccepted() const;
    void CloseSocket();
    // Lets pending window messages run, at most once every few milliseconds.
    void ProcessMessages();
    // Writes the lines queued by SendCommand.
    void Flush();

    std::unique_ptr<TAsyncSocket> FSocket;
    std::string FHost;
    std::string FPort = "smtp";
    std::string FSignOn;
    std::string FFromName;
    std::vector<std::string> FRcptName;
    std::vector<std::string> FRcptCcName;
    std::string FHdrFrom;
    std::string FHdrTo;
    std::string FHdrcc;
    std::string FHdrSubject;
    TSmtpState FState = smtpDisconnected;
    std::string FLastResponse;
    std::string FErrorMessage;
    int FLastReplyCode = 0;
    bool FNotSendable = false;
    bool FUnconfirmed = false;
    std::string FMessageId;
    std::vector<std::string> FReplyLines;
    TReplyFault FReplyFault = TReplyFault::None;
    // The client's own words for the last reply fault, for ErrorMessage.
    std::string FFaultWords;
    // A transaction failed before its content went: RSET before the next MAIL.
    bool FResetNeeded = false;
    unsigned long FPassesAtData = 0;
    bool FPipelining = true;
    bool FChunking = true;
    // The running MailQueue's done; null outside one.
    const TMessageDone* FQueueDone = nullptr;
    std::string FHostAddress;
    // The caller dropped the connection during the current Mail: nothing is tried again.
    bool FAborted = false;
    // Platform error of the last connect attempt (0: none or timed out).
    int FConnectError = 0;
    // Ends a reply's wait at its deadline, however many lines it has sent by then.
    QTimer* FReplyDeadline; // owned by this object as its Qt child
    std::chrono::steady_clock::time_point FReplyStarted;
    int FReadsInReply = 0;
    // The reply being read is a message's final one: it gets FinalReplyFactor times the time.
    bool FFinalReply = false;
    TWaitPointer FWait;
    int FTimeOut = 15;
    bool FStatusTimeOut = false;
    int FTag = 0;
    bool FLineCut = false;
    std::string FPending;
    std::chrono::steady_clock::time_point FMessagesProcessed;
    // The line buffer OnGetData fills.
    char FLineBuffer[LineBufferSize] = {};
    TMessageComposer FComposer;
    // A dot-stuffed body line.
    std::string FStuffed;
    TSmtpSecurity FSecurity = TSmtpSecurity::None;
    std::string FUserName;
    std::string FPassword;
    bool FAllowClearPassword = false;
    std::string FTrustedCertificate;
    bool FExtended = false;
    bool FEightBitBodies = true;
    TSmtpCapabilities FCapabilities;
    bool FSecurityFailure = false;
    // A server's verdict on a message, held until the dialogue proved in step past it.
    struct TVerdict {
        int Id = 0;
        bool Accepted = false;
        bool ContentWritten = false;
        int Code = 0;
        std::string Response;
        std::string Error;
        std::string MessageId;
    };
    std::vector<TVerdict> FUnproved;
    // The server closed the connection with bytes nobody had read.
    bool FUnreadAtClose = false;
    // New connections in a row whose first reply after the greeting did not come in time; at StallsToGiveUp Open
    // fails until Quit.
    int FStalls = 0;
    bool FStopping = false;
    static constexpr int StallsToGiveUp = 2;
    // The server offered CHUNKING and then did not know BDAT: later connections use DATA.
    bool FChunkingRefused = false;
};
