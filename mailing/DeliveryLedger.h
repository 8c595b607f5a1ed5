// The delivery ledger mail_sent.dbf: one row per attempt to deliver a message, kept across runs, so that a user
// can see who got a mailing, resume a stopped run and retry only the recipients that failed.
#pragma once

#include "mailing/DeliveryStatus.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

class TTable;
class TXbaseEngine;

class TDeliveryLedger {
public:
    static const QString FileName;
    // The STATUS of a test message's row.
    static constexpr std::string_view TestStatus = "TEST";

    // One row.
    struct TEntry {
        int Run = 0;
        QDateTime When;
        int RecNo = 0;
        std::string Email;
        TDeliveryStatus Status = TDeliveryStatus::Sent;
        int Code = 0;
        std::string Reply;
        std::string MessageId;
        std::string QueueId;
        int Attempt = 1;
        std::string MessageKey;
        // A test message to the sender's own address: STATUS says TEST whatever the server answered, and no
        // reader takes the row for a delivery to the record.
        bool Test = false;
    };

    // What earlier runs left, as a new run needs it.
    struct THistory {
        int LastRun = 0;
        // The first record the last run did not take up (0 when there was no run).
        int ResumeFrom = 0;
        // Records whose latest row says REFUSED, DEFERRED or UNKNOWN.
        std::set<int> Failed;
        // Records already SENT the message with the given key.
        std::set<int> SentSameMessage;
        // Records with a final row (SENT, REFUSED, UNKNOWN, SKIPPED) for the message with the given key, in any
        // run: a resumed run passes over them whatever order the rows came in.
        std::set<int> Settled;
        // The highest ATTEMPT of each record for the message with the given key: a retry counts on from it.
        std::map<int, int> Attempts;
    };

    TDeliveryLedger();
    ~TDeliveryLedger();
    TDeliveryLedger(const TDeliveryLedger&) = delete;
    TDeliveryLedger& operator=(const TDeliveryLedger&) = delete;

    // Opens folder/mail_sent.dbf, creating it when missing; the table's errors reach the caller. A file of
    // another structure is refused: rows in it would be lost to every reader.
    void Open(TXbaseEngine& engine, const QString& folder);
    void Close();
    bool IsOpen() const;
    QString Path() const { return FPath; }

    // The caller holds the run's lock on this ledger (no other program of ours writes it until Close): rows are
    // appended without the table's lock, two writes each.
    void SetRunLockHeld(bool held);
    // Appends one row, or writes it over row over (a row Append returned: a message's UNKNOWN row, written before
    // its end went out, becomes its result, so readers keep one row per attempt); returns the row's number. Each
    // row reaches the file when Append returns, so a killed program loses none.
    int Append(const TEntry& entry, int over = 0);
    // Puts the rows written so far on the disk (fdatasync), at most once a second however often it is called:
    // a row the kernel holds outlives a crash of the program, only a power cut needs the disk.
    void SyncSoon();
    // Reads every row once.
    THistory History(const std::string& messageKey);

    // The server's queue id when its reply names one ("queued as X", "id=X"); empty otherwise.
    static std::string QueueId(const std::string& reply);
    // A short digest of subject, body and the rest of the content (HTML version, files) that tells one message
    // from another. Without further content the digest is the one ledgers kept before messages had any.
    static std::string MessageKey(const std::string& subject, const std::string& body,
                                  const std::string& content = {});

private:
    // Fills a new row with entry; the row is dropped when that fails.
    void Fill(const TEntry& entry);

    std::unique_ptr<TTable> FTable;
    QString FPath;
    // The same file, opened for its descriptor only: fdatasync needs one.
    QFile FSyncFile;
    std::chrono::steady_clock::time_point FSynced;
};
