// The check before a run, without a window: what the window's Next and quorvel-send both ask before sending.
// Each step answers with the failure in the user's words (empty when it passed) and keeps what it found.
#pragma once

#include "mailing/MailingJob.h"
#include "mailing/MailingRun.h"
#include "mailing/PreflightSummary.h"

#include <QString>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TRunLock;
class TDkimSigner;
class TListHeaders;
class TSuppressionList;
class TCodePage;
class TDeliveryLedger;
class TSmtpClient;
class TTable;
class TXbaseEngine;

// Which records a run takes, from the ledger and the job's "Resume the last run" and "Retry failed".
struct TRunSelection {
    int Run = 1;
    bool Limited = false; // Retry failed: only the records in Failed
    std::set<int> Failed;
    // Resume: only the records without a final row for this message (Settled) are taken.
    bool Resume = false;
    std::set<int> Settled;
    // Records the run would take that already got this very message.
    std::set<int> AlreadySent;
    // Retry failed: the attempts each failed record has had with this message, which its ATTEMPT counts on from.
    std::map<int, int> EarlierAttempts;
    // The run's filter: unset when it takes every record; those in AlreadySent only when sendAgain.
    std::function<bool(int recNo)> Take(bool sendAgain) const;
};

class TMailingCheck {
public:
    // The client belongs to the caller; the job is copied.
    TMailingCheck(const TMailingJob& job, TSmtpClient& client);
    ~TMailingCheck();
    TMailingCheck(const TMailingCheck&) = delete;
    TMailingCheck& operator=(const TMailingCheck&) = delete;

    // Every step in the window's order; the recipient table (named, closed) and the engine belong to the caller.
    QString All(TTable& recipients, TXbaseEngine& engine, TDeliveryLedger& ledger);
    // Subject and body; the client gets the subject.
    QString Message();
    QString MessageFiles();
    // Server, port, security and login, handed to the client; a remembered password is read from the keyring.
    QString Server();
    // Return address and sender, handed to the client.
    QString Sender();
    QString Retries();
    // The list headers (an https link, a mailto address, List-Id, Reply-To), the suppression list (read) and the
    // DKIM signing key (read and checked).
    QString List();
    // Wrap column, the table and its mapped fields, every field of the scope read in the code page; the table is
    // left open at the first record of the scope.
    QString Recipients(TTable& recipients, TXbaseEngine& engine);
    // mail_log.dbf (created or reset) and the delivery ledger (opened).
    QString LogTables(TTable& recipients, TXbaseEngine& engine, TDeliveryLedger& ledger);

    // Ends the claim on the ledger's folder that LogTables made (also when the check is destroyed).
    void ReleaseLock();

    // What the steps found.
    const TMailingJob& Job() const { return FJob; }
    const std::string& Subject() const { return FSubject; }
    const TCodePage* CodePage() const { return FCodePage.get(); }
    int ScopeFrom() const { return FScopeFrom; }
    int ScopeTo() const { return FScopeTo; }
    const std::vector<std::chrono::milliseconds>& RetryPauses() const { return FRetryPauses; }
    // The password the keyring gave (empty when none was read).
    const QString& KeyringPassword() const { return FKeyringPassword; }
    // Why a remembered password could not be read and will be asked for (empty when it was not needed or read).
    const QString& KeyringNote() const { return FKeyringNote; }
    // An OAuth login reads its refresh token from this file instead of the keyring (runs without a desktop).
    void SetRefreshTokenFile(const QString& path) { FRefreshTokenFile = path; }
    // The folder of the log table last created or opened (or tried), with its trailing separator.
    const QString& ErrorLogFolder() const { return FErrorLogFolder; }
    // The open mail_log.dbf, taken over by the caller.
    std::unique_ptr<TTable> TakeLog();
    // What the pre-flight summary reads, from the table at tablePath.
    TPreflightMailing PreflightMailing(const std::string& tablePath) const;
    // What the run personalises each message from, and how it paces and retries.
    TMailingRunSettings RunSettings() const;
    // The records the run takes, as the open ledger's history says.
    TRunSelection Selection(TDeliveryLedger& ledger) const;
    // What tells this mailing from another in the ledger: subject, body, HTML version and files.
    std::string MessageKey() const;

    // The DKIM signer the check made; null when messages are not signed.
    std::shared_ptr<const TDkimSigner> Dkim() const { return FDkim; }
    const std::shared_ptr<const TSuppressionList>& Suppressed() const { return FSuppressed; }
    // The TXT record of the job's DKIM settings, as a zone-file line; throws EDkimError with the reason.
    static QString DkimDnsRecord(const TMailingJob& job);

    // The table path as the file system names it.
    static QString TablePath(const TTable& table);
    // The code page a choice stands for with this (open) table: "Automatic" reads the table's declaration.
    static std::unique_ptr<TCodePage> OpenCodePage(const QString& choice, const TTable& table);
    // The value of a mapped field in the current record, read in the code page; empty when field is empty.
    static std::string FieldValue(const TTable& table, const TCodePage* codePage, const QString& field);
    // The folder of the program file, and the folder a run puts its log tables in (logFolder when given).
    static QString ProgramFolder();
    static QString LogTablesFolder(const QString& logFolder);
    // The engine's explanation of a failure as a sentence on a line of its own after a path; empty when it
    // gave none.
    static QString EngineReason(const std::exception& error);
    // The login's keyring entry.
    QString PasswordKey() const;

private:
    bool OpenRecipients(TTable& recipients, TXbaseEngine& engine, QString& error);
    QString FieldsDecode(TTable& recipients, TXbaseEngine& engine);
    QString Lock();
    // A field named by the unsubscribe link that the open table does not have.
    QString LinkFieldProblem(TTable& recipients);
    bool CreateErrorLog(TXbaseEngine& engine);
    bool CreateErrorLogIn(TXbaseEngine& engine, const QString& folder);

    TMailingJob FJob;
    TSmtpClient& FClient;
    std::string FSubject;
    // The files for everyone, encoded, and the HTML version's text.
    std::vector<TMailMessage::TAttachment> FAttachments;
    std::string FHtml;
    std::unique_ptr<TCodePage> FCodePage;
    int FScopeFrom = 1;
    int FScopeTo = 0;
    std::vector<std::chrono::milliseconds> FRetryPauses;
    QString FKeyringPassword;
    QString FKeyringNote;
    QString FRefreshTokenFile;
    QString FErrorLogFolder;
    std::unique_ptr<TTable> FLog;
    std::unique_ptr<TRunLock> FLock;
    std::shared_ptr<const TListHeaders> FList;
    std::shared_ptr<const TSuppressionList> FSuppressed;
    std::shared_ptr<const TDkimSigner> FDkim;
    QString FLockFolder; // where FLock's file is: the ledger beside it is this run's alone
};
