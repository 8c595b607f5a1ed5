// The delivery ledger: created beside the error log, appended to row by row, read back to plan a run.
#include "mailing/DeliveryLedger.h"

#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <map>
#include <unistd.h>

namespace {

struct TColumn {
    const char* Name;
    const char* Type;
    int Width;
};

// dBase field names have at most 10 characters; a reply line is at most 254 characters wide in a C field.
constexpr TColumn Columns[] = {
    {"RUN", "N", 6},          {"DATE", "D", 8},      {"TIME", "C", 8},    {"RECNO", "N", 10},
    {"E_MAIL", "C", 100},     {"STATUS", "C", 8},    {"CODE", "N", 3},    {"REPLY", "C", 254},
    {"MESSAGE_ID", "C", 100}, {"QUEUE_ID", "C", 40}, {"ATTEMPT", "N", 2}, {"MSG_KEY", "C", 16},
};

std::string Number(int value) {
    return std::to_string(value);
}

int ToInt(const std::string& text) {
    try {
        return std::stoi(text);
    } catch (const std::exception&) {
        return 0; // a blank or damaged number in a row another tool wrote
    }
}

// A token of a reply: letters, digits and the few marks queue ids use.
std::string TokenAt(const std::string& text, size_t at) {
    size_t end = at;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-' ||
                                 text[end] == '.' || text[end] == '_'))
        ++end;
    return text.substr(at, end - at);
}

// Addresses and replies are nearly always plain ASCII, which every code page holds as it is.
std::string ToCp1252(const TCodePage& codePage, const std::string& utf8) {
    const bool ascii =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? utf8 : codePage.FromUtf8(utf8);
}

} // namespace

const QString TDeliveryLedger::FileName = QStringLiteral("mail_sent.dbf");

TDeliveryLedger::TDeliveryLedger() = default;
TDeliveryLedger::~TDeliveryLedger() = default;

void TDeliveryLedger::Open(TXbaseEngine& engine, const QString& folder) {
    Close();
    const QString separated = folder.endsWith('/') ? folder : folder + QLatin1Char('/');
    FPath = separated + FileName;
    const std::string path = QFile::encodeName(FPath).toStdString();
    if (!QFileInfo::exists(FPath)) {
        if (!engine.CreateNew(path, 2, static_cast<int>(std::size(Columns))))
            throw EDatabaseError(engine.CreateError());
        for (const TColumn& column : Columns)
            engine.CreateField(column.Name, column.Type, column.Width, 0);
        if (!engine.CreateExec())
            throw EDatabaseError(engine.CreateError());
    }
    auto table = std::make_unique<TTable>();
    table->SetTableName(path);
    table->SetTableType(ttXbFOX);
    table->Open();
    for (const TColumn& column : Columns)
        table->FieldByName(column.Name);
    FTable = std::move(table);
    // Without it the rows still reach the kernel, which is all a crash of the program needs.
    FSyncFile.setFileName(FPath);
    FSyncFile.open(QIODevice::ReadOnly);
    FSynced = {};
}

void TDeliveryLedger::Close() {
    if (FSyncFile.isOpen())
        ::fdatasync(FSyncFile.handle()); // the last rows, whatever the second
    FSyncFile.close();
    FTable.reset();
}

void TDeliveryLedger::SetRunLockHeld(bool held) {
    FTable->SetSoleWriter(held);
}

bool TDeliveryLedger::IsOpen() const {
    return FTable && FTable->Active();
}

int TDeliveryLedger::Append(const TEntry& entry, int over) {
    Fill(entry);
    try {
        over > 0 ? FTable->PostOver(over) : FTable->Post();
    } catch (...) {
        FTable->Cancel(); // a half-written row must not be written by a later Post
        throw;
    }
    return FTable->RecNo();
}

void TDeliveryLedger::SyncSoon() {
    // Once a second costs a few milliseconds a second at most; once a message would cost a disk flush each.
    const auto now = std::chrono::steady_clock::now();
    if (now - FSynced < std::chrono::seconds(1))
        return;
    FSynced = now;
    ::fdatasync(FSyncFile.handle());
}

void TDeliveryLedger::Fill(const TEntry& entry) {
    // Windows-1252, as the error log beside it, for the dBase tools that read both; what it cannot hold is "?".
    static const TCodePage ledgerCodePage("CP1252");
    TTable& table = *FTable;
    table.Append();
    try {
        table.FieldByName("RUN").SetValue(Number(entry.Run));
        // Formatted by hand: a long run writes a row per message, and the text formatters cost more than the row.
        const QDate date = entry.When.date();
        const QTime time = entry.When.time();
        char day[16];
        char clock[16];
        std::snprintf(day, sizeof day, "%04d%02d%02d", date.year(), date.month(), date.day());
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", time.hour(), time.minute(), time.second());
        table.FieldByName("DATE").SetValue(day);
        table.FieldByName("TIME").SetValue(clock);
        table.FieldByName("RECNO").SetValue(Number(entry.RecNo));
        table.FieldByName("E_MAIL").SetValue(ToCp1252(ledgerCodePage, entry.Email));
        table.FieldByName("STATUS").SetValue(entry.Test ? TestStatus : DeliveryStatus::Name(entry.Status));
        table.FieldByName("CODE").SetValue(entry.Code > 0 ? Number(entry.Code) : std::string());
        table.FieldByName("REPLY").SetValue(ToCp1252(ledgerCodePage, entry.Reply));
        table.FieldByName("MESSAGE_ID").SetValue(entry.MessageId);
        table.FieldByName("QUEUE_ID").SetValue(entry.QueueId);
        table.FieldByName("ATTEMPT").SetValue(Number(entry.Attempt));
        table.FieldByName("MSG_KEY").SetValue(entry.MessageKey);
    } catch (...) {
        table.Cancel(); // a half-filled row must not be written by a later Post
        throw;
    }
}

TDeliveryLedger::THistory TDeliveryLedger::History(const std::string& messageKey) {
    THistory history;
    std::map<int, TDeliveryStatus> latest;
    int lastRunMax = 0;
    int lastRunAborted = 0;
    TTable& table = *FTable;
    const TField& run = table.FieldByName("RUN");
    const TField& recNo = table.FieldByName("RECNO");
    const TField& status = table.FieldByName("STATUS");
    const TField& key = table.FieldByName("MSG_KEY");
    const TField& attempt = table.FieldByName("ATTEMPT");
    for (table.First(); !table.Eof(); table.Next()) {
        const int rowRun = ToInt(run.AsString());
        const int record = ToInt(recNo.AsString());
        TDeliveryStatus rowStatus;
        // A test message went to the sender, not to the record: it neither delivers to the record nor fails it.
        if (record <= 0 || status.AsString() == TestStatus || !DeliveryStatus::FromName(status.AsString(), rowStatus))
            continue;
        if (rowRun > history.LastRun) {
            history.LastRun = rowRun;
            lastRunMax = 0;
            lastRunAborted = 0;
        }
        if (rowRun == history.LastRun) {
            if (rowStatus == TDeliveryStatus::Aborted)
                lastRunAborted = record;
            else
                lastRunMax = std::max(lastRunMax, record);
        }
        // An abort names the record it did not take up; it says nothing about that record's delivery.
        if (rowStatus != TDeliveryStatus::Aborted)
            latest[record] = rowStatus;
        if (key.AsString() == messageKey && rowStatus != TDeliveryStatus::Aborted) {
            if (rowStatus == TDeliveryStatus::Sent)
                history.SentSameMessage.insert(record);
            if (rowStatus != TDeliveryStatus::Deferred)
                history.Settled.insert(record);
            int& highest = history.Attempts[record];
            highest = std::max(highest, ToInt(attempt.AsString()));
        }
    }
    if (history.LastRun > 0)
        history.ResumeFrom = lastRunAborted > 0 ? lastRunAborted : lastRunMax + 1;
    for (const auto& [record, last] : latest)
        if (last == TDeliveryStatus::Refused || last == TDeliveryStatus::Deferred || last == TDeliveryStatus::Unknown)
            history.Failed.insert(record);
    return history;
}

std::string TDeliveryLedger::QueueId(const std::string& reply) {
    for (const char* marker : {"queued as ", "id="}) {
        const size_t at = reply.find(marker);
        if (at != std::string::npos)
            return TokenAt(reply, at + std::char_traits<char>::length(marker));
    }
    return {};
}

std::string TDeliveryLedger::MessageKey(const std::string& subject, const std::string& body,
                                        const std::string& content) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::fromStdString(subject));
    hash.addData(QByteArray(1, '\0'));
    hash.addData(QByteArray::fromStdString(body));
    if (!content.empty()) {
        hash.addData(QByteArray(1, '\0'));
        hash.addData(QByteArray::fromStdString(content));
    }
    return hash.result().toHex().left(16).toStdString();
}
