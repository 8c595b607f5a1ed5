// A mailing run without a window: walks the recipient table's scope, personalises and sends each message over
// one connection or several, classifies every result, retries the deferred ones, keeps to the throttle, and
// writes mail_log.dbf and the delivery ledger. It reports through a TMailingRunView.
#pragma once

#include "mailing/DeliveryLedger.h"
#include "mailing/DeliveryStatus.h"
#include "mailing/ListHeaders.h"
#include "mailing/MailingConnection.h"
#include "mailing/MessageText.h"
#include "mailing/SuppressionList.h"
#include "smtp/MailMessage.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class QEventLoop;
class TCodePage;
class TMessageFile;
class TMailingRunView;
class TSmtpClient;
class TTable;
struct TMailMessage;

// What the run needs to know, as the check before it read and validated it.
// Field names of the mapping; empty when a placeholder is not mapped (the e-mail field always is).
class TDkimSigner;

struct TMailingRunSettings : MessageText::TFieldMapping {
    // The message body as typed (CR LF line breaks) and the wrap column of its lines.
    std::string Body;
    int WrapColumn = 80;
    // The sender's organisation for the "Organization:" header (UTF-8); empty sends no such header.
    std::string Organization;
    // The subject with its placeholders, personalised for each record; empty leaves the client's subject.
    std::string Subject;
    // The recipient table's code page: field values are read through it into UTF-8 (none: taken as they are).
    const TCodePage* CodePage = nullptr;
    // Ticks of the client's wait control per wait.
    int TimeOut = 15;
    // The record before the scope and the last record of the scope, as positions in the table.
    int Minimum = 0;
    int Maximum = 0;
    // Pauses before the second, third, ... attempt of a deferred message; empty retries nothing.
    std::vector<std::chrono::milliseconds> RetryDelays{std::chrono::minutes(1), std::chrono::minutes(5),
                                                       std::chrono::minutes(15)};
    // At most this many messages per minute and per hour; 0 = no limit. The limits hold across all connections.
    int MaxPerMinute = 0;
    int MaxPerHour = 0;
    // Connections opened to the server at once (1 to MaxConnections); records are handed out in order.
    int Connections = 1;
    static constexpr int MaxConnections = 8;
    // Which records (by record number) the run sends to; unset sends to every one.
    std::function<bool(int recNo)> Take;
    // The ledger's run number and the key of this message (same subject and body).
    int Run = 1;
    std::string MessageKey;
    // The list headers each message gets (none when empty), and the addresses the run passes over.
    std::shared_ptr<const TListHeaders> List;
    // Signs every message; none when unset.
    std::shared_ptr<const TDkimSigner> Dkim;
    std::shared_ptr<const TSuppressionList> Suppressed;
    // Attempts earlier runs made at a record with this message: its ATTEMPT counts on from them.
    std::map<int, int> EarlierAttempts;
    // The program's footer under the body; one message per address, a later record of the same address skipped.
    bool AddFooter = true;
    bool OncePerAddress = false;
    // Records Take passes over because earlier runs sent them this message: their addresses have it already.
    std::set<int> AlreadySent;
    // Files every message carries, read and encoded once by the check.
    std::vector<TMailMessage::TAttachment> Attachments;
    // The field naming each record's own files (";" between names, {FIELD}s allowed) and the folder relative
    // names are found in; empty: no files of the record's own.
    std::string AttachmentField;
    std::string AttachmentFolder;
    // The HTML version with its placeholders; empty: plain text only.
    std::string Html;
};

class TMailingRun : private TMailingConnection::TDriver {
public:
    // The client, the recipient table (at the first record of the scope), the open mail_log.dbf and the open
    // ledger belong to the caller and outlive the run.
    TMailingRun(TSmtpClient& client, TTable& recipients, TTable& log, TDeliveryLedger& ledger, TMailingRunView& view,
                TMailingRunSettings settings);
    ~TMailingRun() override;
    TMailingRun(const TMailingRun&) = delete;
    TMailingRun& operator=(const TMailingRun&) = delete;

    // The whole run, up to its closing lines. Errors of the client or the tables end it through those lines too.
    void Execute();
    // The Stop button: the run asks before the next message (a pause ends at once to ask).
    // meant: nobody will be asked (a signal), so nothing further leaves at once; otherwise once the stop is
    // confirmed.
    void RequestStop(bool meant = false);
    // The window is closing: the run ends at once, the message in transfer is given up.
    void Interrupt();
    // True while a connection is being made (a handshake or a login may wait long): no message is in transfer.
    bool Connecting() const { return FConnecting; }
    // The user stopped the run while it connects: the attempt is dropped and the run ends as a user abort.
    void StopConnecting();

    const TRunCounts& Counts() const { return FCounts; }
    // True once the run had a connection: its login, if any, was accepted.
    bool Connected() const { return FConnectedOnce; }
    // The addresses the server refused for good as mailboxes that do not exist, in the order met.
    const std::vector<std::string>& HardBounces() const { return FHardBounces; }
    int Position() const { return FPosition; }

    // The message of the record the recipient table stands on as the user reads it: the header and the text
    // decoded, the HTML version as its text, the files by name and size; composed without a server from the
    // sender the client holds. Empty, with problem set in the user's words, for a record the run passes over.
    static std::vector<std::string> PreviewLines(const TSmtpClient& client, TTable& recipients,
                                                 const TMailingRunSettings& settings, std::string& problem);
    // The same message as the run hands it to the server (the lines after DATA, files and all), line by line;
    // false with problem set for a record the run passes over.
    static bool ComposeMessage(const TSmtpClient& client, TTable& recipients, const TMailingRunSettings& settings,
                               const std::function<void(std::string_view line)>& put, std::string& problem);
    // The same message sent as a test to the sender's return address (the client's FromName) alone, envelope and
    // To alike, over the client's server; one TEST row goes to the ledger, nothing to counts or mail_log.dbf.
    // The line for the user: the server's reply, or why the message did not go.
    static QString SendTest(TSmtpClient& client, TTable& recipients, const TMailingRunSettings& settings,
                            TDeliveryLedger& ledger);
    // Why the client's last step failed, in the user's words: the server's reply, or the client's own account.
    static QString FailureText(const TSmtpClient& client);
    // True when the client's last connection failed because the server refused the password (535, RFC 4954):
    // trying the same password again only brings the account nearer to being locked.
    static bool LoginRefused(const TSmtpClient& client);
    // The reason in REPLY of a record whose address is on the suppression list.
    static const char* const SuppressedReason;
    // REPLY of an UNKNOWN row, and its shorter form in mail_log.dbf (whose ERR_TEXT holds 50 characters).
    static const char* const UnknownReason;
    static const char* const UnknownLogText;
    // UnknownReason with the client's account of why no answer came, for the ledger and the run's lines.
    static std::string UnknownText(const TSmtpClient& client);
    // The reason of a record skipped because the server cannot take its address.
    static const char* const NoSmtpUtf8Reason;
    // Why an address cannot be used, in the user's words; empty when it can.
    static std::string AddressProblem(const std::string& address);
    // A file the user chose by its path, opened and read through as a record's file is.
    static TMailMessage::TAttachment Attachment(const std::string& path, const std::string& name);
    // A record's file as opened (path only names it), its type told by its content and name.
    static TMailMessage::TAttachment Attachment(std::shared_ptr<const TMessageFile> file, const std::string& path,
                                                const std::string& name);
    // The record's own files: the names of its attachment field (";" between them, {FIELD}s filled in by named),
    // each a file inside folder, opened. Else problem tells why: a file is not there, or it is refused: a name
    // leading out of the folder, a link out of it, no regular file, or a value that adds names of its own.
    enum class TRecordFiles { Ready, Missing, Refused };
    // filled, when given, gets the names as filled in.
    static TRecordFiles RecordAttachments(const std::string& names, const MessageText::NamedLookup& named,
                                          const std::string& folder, std::vector<TMailMessage::TAttachment>& files,
                                          std::string& problem, std::string* filled = nullptr);
    // Appends one row of mail_log.dbf: the text, the recipient's name and e-mail address as read.
    static void AppendLogRow(TTable& log, const std::string& text, const std::string& name, const std::string& email);

private:
    using Clock = std::chrono::steady_clock;

    // One recipient as read from its record, kept for its retries.
    struct TRecipient {
        int Position = 0;
        int RecNo = 0;
        std::string Name;    // the mapped name field as read (for the log)
        std::string Email;   // the e-mail field as read (for the log)
        std::string Address; // trimmed
        std::string HdrTo;
        std::string Subject; // personalised
        std::string Body;    // personalised, footer included
        std::vector<TMailMessage::TField> ListHeaders;
        std::string Html;    // personalised, values HTML-escaped; empty: none
        std::vector<TMailMessage::TAttachment> Attachments; // the record's own files
        std::string FileNames;                              // their names as filled in, to open them again for a retry
        std::string Problem;
        int Attempt = 0; // attempts in this run; the retry pauses go by it
        int Earlier = 0; // attempts of earlier runs, for the ledger's count
        int MarkRow = 0; // this attempt's UNKNOWN row, written before its end went out (0: none yet)
        Clock::time_point Due;
    };

    // What the walk has next: a message to send, a pause first, nothing more, or no connection to be had.
    enum class TNext { Message, Wait, End, NoConnection };

    void Start();
    void Walk();
    // The user's stop, or a table that broke off, ends the walk: true once the run's last lines are told.
    bool WalkEnds();
    // The next message due, from the retries or the records; records passed over are dealt with on the way.
    TNext NextMessage(TRecipient& next, Clock::duration& wait);
    // Sends first and every message due after it without a pause, as one queue of the client (MailingRunQueue.cpp).
    void SendQueue(TRecipient first);
    // The next message as a client takes it, and what came instead when none is to go now.
    TNext NextForClient(TMailMessage& message, int& id, Clock::duration& wait);
    // The recipient's message goes to the client under the returned id.
    int HandOut(TRecipient recipient, TMailMessage& message);
    // The client's result for the message it knows by id.
    void Delivered(int id, bool accepted);
    // The end of the message known by id is about to go: from here the server may keep it, so its ledger row
    // says UNKNOWN until the result replaces it, and a killed run is never resumed with it.
    void MessageEnding(int id);
    // The walk over several connections, each on its own thread (MailingRunConnections.cpp).
    void WalkConnections();
    void AwaitConnections(const std::function<bool()>& done);
    void ConnectionsChanged();
    void CloseConnections();
    void AbortConnections();
    int OpenConnections() const;
    void ShowConnections();
    void Prepare(TMailingConnection& connection) override;
    TMailingConnection::TTask NextTask(TMailingConnection& connection) override;
    void Connecting(TMailingConnection& connection) override;
    void Connected(TMailingConnection& connection) override;
    bool NextMessage(TMailingConnection& connection, TMailMessage& message, int& id) override;
    void Delivered(TMailingConnection& connection, int id, bool accepted) override;
    void Broken(TMailingConnection& connection, const std::string& text) override;
    void Closed(TMailingConnection& connection) override;
    void End();
    bool StopAnswered();
    // No content leaves any more: what went waits for its reply, the rest stays DEFERRED for a resume.
    void StopSending();
    TRecipient ReadRecipient() const;
    // With one message per address: a record whose address an earlier record of the run had gets a problem.
    void NoteAddress(TRecipient& recipient);
    // The address of a record passed over as already sent counts as served for the records after it.
    void NoteSentAddress();
    static TRecipient ReadRecipient(TTable& recipients, const TMailingRunSettings& settings, int position);
    static std::string Field(TTable& recipients, const TMailingRunSettings& settings, const std::string& name);
    // Names as filled in (";" between them), each opened inside folder.
    static TRecordFiles OpenRecordFiles(const std::string& names, const std::string& folder,
                                        std::vector<TMailMessage::TAttachment>& files, std::string& problem);
    // A retried record's files, let go while it waited, opened again; false with its problem set.
    bool ReopenFiles(TRecipient& recipient) const;
    // One recipient's message: the sender and the default subject as the client holds them, the body wrapped at
    // the settings' column, the Organization header and the recipient's list headers.
    static TMailMessage Message(const TSmtpClient& sender, const TMailingRunSettings& settings,
                                const TRecipient& recipient);
    // Waits that must pass before a message may go: a 421's pause before reconnecting, and the throttle.
    Clock::duration WaitBeforeSending() const;
    // The record the walk stands on, when it is inside the scope.
    std::optional<TRecipient> CurrentRecord() const;
    bool EnsureConnected();
    bool Connect();
    // The steps of Connect around the client's Open; ConnectEnds reports a failure and says whether it connected.
    void ConnectStarts();
    bool ConnectEnds();
    // Ends the run for want of a connection, in words that tell why.
    void ConnectionFailed();
    TDeliveryStatus Classify(bool accepted) const;
    void Schedule(TRecipient& recipient, int code);
    void Skip(const TRecipient& recipient);
    void Record(const TRecipient& recipient, TDeliveryStatus status, int code, const std::string& reply);
    TDeliveryLedger::TEntry LedgerEntry(const TRecipient& recipient, TDeliveryStatus status, int code,
                                        const std::string& reply);
    // Counts, shows and logs the client's failure once; the log row names current's name and address.
    void ReportStatus(const std::optional<TRecipient>& current);
    // The same for a message whose end went out without a final reply: told as what it is, not as a refusal.
    void ReportUnknown(const TRecipient& recipient);
    // The same under a heading (none when empty).
    void ReportError(const QString& heading, const std::optional<TRecipient>& current);
    void AbortRun(const QString& text);
    void ReportRunError(const QString& text);
    void Pause(Clock::duration length);
    // "Wait until ..." for a pause longer than a second.
    void ShowPause(std::chrono::milliseconds length);
    void ShowProgress();
    void ShowCounts();
    void ProcessMessages();

    // The caller's client, and the one whose step the run is hearing of: the caller's, or with several
    // connections the one of the connection calling in.
    TSmtpClient& FOwnClient;
    TSmtpClient* FClient;
    TTable& FRecipients;
    TTable& FLog;
    TDeliveryLedger& FLedger;
    TMailingRunView& FView;
    TMailingRunSettings FSettings;

    int FPosition = 0;
    // Counts of recipients by their latest status in this run (a message deferred, then sent, counts as sent
    // once), and that status by record number.
    TRunCounts FCounts;
    std::map<int, TDeliveryStatus> FFinal;
    // Addresses (case folded) the run took up, and the first record of each.
    std::unordered_map<std::string, int> FAddresses;
    std::deque<TRecipient> FDeferred; // in the order they fall due
    bool FStopRequested = false;
    bool FInterrupted = false;
    bool FErrorReported = false;
    int FGivenUp = 0; // a record whose message the user gave up in transfer
    bool FConnecting = false;
    bool FConnectedOnce = false;
    bool FStoppedConnecting = false;
    Clock::duration FInterval{};
    Clock::time_point FLastSend;
    Clock::time_point FReconnectAt;
    Clock::time_point FStarted;
    Clock::time_point FMessagesProcessed;
    Clock::time_point FEndReported;
    QDateTime FWallClock;
    std::chrono::system_clock::time_point FWallClockRead;
    int FAttempts = 0;
    QPointer<QEventLoop> FPause;
    std::vector<std::string> FHardBounces;
    // The server address the run last named in its lines.
    std::string FToldAddress;
    // The To value of the message whose result is being told, for its failure's heading.
    std::string FLastTo;
    // The messages handed to the client and not yet told, by the id they were handed out with.
    std::map<int, TRecipient> FInFlight;
    int FLastId = 0;
    bool FQueueing = false;
    // The connections of a run with several, and the run's wait for them to go idle or end.
    std::vector<std::unique_ptr<TMailingConnection>> FConnections;
    QPointer<QEventLoop> FConnectionsWait;
    bool FClosingConnections = false;
    // No connection can be had (or a login was refused): no connection takes a further message.
    bool FNoConnection = false;
    // What a connection's call on the run's thread raised: the run ends with it.
    QString FRunFailure;
    int FShownConnections = -1;
    // A connection kept through a longer pause would be closed by the server (RFC 5321 4.5.3.2.7: five minutes).
    static constexpr std::chrono::seconds KeepConnectionPause{60};
    // A read of the recipient table failed: the run ends with this text once the messages in flight are told.
    QString FTableError;
    int FTableErrorRecNo = 0;
};
