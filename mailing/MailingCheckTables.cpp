// The check of the recipient table (opened, its fields read through in the code page) and of the log tables
// (mail_log.dbf and the delivery ledger, claimed for one run at a time).
#include "mailing/MailingCheck.h"

#include "framework/core/SettingsStore.h"
#include "framework/core/Text.h"
#include "mailing/DeliveryLedger.h"
#include "mailing/MessageText.h"
#include "mailing/RunLock.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QStandardPaths>

#include <limits>

namespace {

const QString CantOpenTable = QStringLiteral("Can't open recipient table:\r\n");
const QString LogFileName = QStringLiteral("mail_log.dbf");
const QString Automatic = QStringLiteral("Automatic");

// What a table without any declaration of its code page most likely holds: text from a Windows program.
const char* const FallbackCodePage = "CP1252";

QString WithSeparator(const QString& folder) {
    return folder.endsWith('/') ? folder : folder + QLatin1Char('/');
}

// The engine's explanation of a failure as a sentence on a line of its own after the path; empty when it
// gave none.
QString ReasonLine(const std::string& reason) {
    if (reason.empty())
        return {};
    QString text = QString::fromLocal8Bit(reason);
    text[0] = text[0].toUpper();
    return QStringLiteral("\r\n") + text + QLatin1Char('.');
}

QString Reason(const std::exception& error) {
    const auto* engine = dynamic_cast<const EDBEngineError*>(&error);
    return engine ? ReasonLine(engine->Reason()) : QString();
}

// Why the table's field names cannot be read (a text file renamed .dbf, a damaged header); empty when they can.
QString FieldListProblem(TTable& table) {
    try {
        std::vector<std::string> names;
        table.GetFieldNames(names);
    } catch (const EDatabaseError& error) {
        const QString reason = Reason(error);
        return reason.isEmpty() ? QStringLiteral("\r\n") + QString::fromLocal8Bit(error.what()) : reason;
    }
    return {};
}

void CloseQuietly(TTable& table) {
    try {
        table.Close();
    } catch (const std::exception&) {
        // Closing gives nothing back worth reporting in the middle of another failure.
    }
}

} // namespace

QString TMailingCheck::TablePath(const TTable& table) {
    return QFile::decodeName(QByteArray::fromStdString(table.TableName()));
}

QString TMailingCheck::Recipients(TTable& recipients, TXbaseEngine& engine) {
    // Without a readable column the feed would end every body at once: each recipient would get an empty mail.
    bool wrapReadable = false;
    FJob.WrapLines.toInt(&wrapReadable);
    if (!wrapReadable)
        return QStringLiteral("Invalid line wrap column specified.");

    if (recipients.TableName().empty())
        return QStringLiteral("No recipient table specified.");
    if (!QFileInfo(TablePath(recipients)).isFile())
        return QStringLiteral("Can't find recipient table:\r\n") + TablePath(recipients);
    if (FJob.EmailField.isEmpty()) {
        // Empty field lists often mean the file is no table at all: that is what the user must hear.
        const QString problem = FieldListProblem(recipients);
        if (!problem.isEmpty())
            return CantOpenTable + TablePath(recipients) + problem;
        return QStringLiteral("No e-mail field specified in recipient's table.");
    }

    FCodePage.reset();
    QString error;
    if (!OpenRecipients(recipients, engine, error))
        return error;
    // Every mapped field is read once, so that a wrong field name shows now and not at the first recipient; the
    // attachment field too, which the run reads for every record.
    for (const QString* field :
         {&FJob.NameField, &FJob.OrganizationField, &FJob.EmailField, &FJob.DearField, &FJob.AttachmentField}) {
        try {
            FieldValue(recipients, nullptr, *field);
        } catch (const std::exception& e) {
            CloseQuietly(recipients);
            return QStringLiteral("Invalid field in recipient table:\r\n") + QString::fromLocal8Bit(e.what());
        }
    }
    if (QString problem = LinkFieldProblem(recipients); !problem.isEmpty()) {
        CloseQuietly(recipients);
        return problem;
    }
    // A record names its files inside that folder only: without one, any file could be named.
    if (!Text::Trim(FJob.AttachmentField).isEmpty() && Text::Trim(FJob.AttachmentFolder).isEmpty()) {
        CloseQuietly(recipients);
        return QStringLiteral("The attachment field %1 names files inside the attachment folder, but no attachment "
                              "folder is set: choose the folder that holds the records' files.")
            .arg(Text::Trim(FJob.AttachmentField));
    }
    return FieldsDecode(recipients, engine);
}

// Opens the table at the first record of the scope.
bool TMailingCheck::OpenRecipients(TTable& recipients, TXbaseEngine& engine, QString& error) {
    try {
        recipients.SetActive(true);
        engine.GoTop();
        FScopeFrom = 1;
        FScopeTo = 0;
        if (FJob.LimitScope) {
            int from = 0;
            int to = 0;
            if (!TSettingsStore::ParseInteger(FJob.ScopeFrom, from) || !TSettingsStore::ParseInteger(FJob.ScopeTo, to))
                throw EDatabaseError("not a record number");
            if (to < from || from <= 0 || to > recipients.RecordCount()) {
                CloseQuietly(recipients);
                error = QStringLiteral("Invalid scope specified.");
                return false;
            }
            engine.MoveBy(from - 1);
            FScopeFrom = from;
            FScopeTo = to;
        }
    } catch (const std::exception& e) {
        CloseQuietly(recipients);
        error = CantOpenTable + TablePath(recipients) + Reason(e);
        return false;
    }
    return true;
}

std::string TMailingCheck::FieldValue(const TTable& table, const TCodePage* codePage, const QString& field) {
    if (field.isEmpty())
        return {};
    return MessageText::FieldText(table.FieldByName(Text::ToLatin1(field)), codePage);
}

std::unique_ptr<TCodePage> TMailingCheck::OpenCodePage(const QString& choice, const TTable& table) {
    std::string name = choice.toStdString();
    if (name.empty() || choice == Automatic) {
        name = table.DeclaredCodePage();
        if (name.empty())
            name = FallbackCodePage;
    }
    return std::make_unique<TCodePage>(name);
}

// Reads every mapped field of every record in the scope: a byte that stands for no character in the code
// page is found now, with its record and field, and not halfway through the run.
QString TMailingCheck::FieldsDecode(TTable& recipients, TXbaseEngine& engine) {
    try {
        FCodePage = OpenCodePage(FJob.CodePage, recipients);
    } catch (const std::exception& error) {
        CloseQuietly(recipients);
        return QString::fromUtf8(error.what());
    }
    std::vector<const TField*> fields;
    for (const QString* field : {&FJob.NameField, &FJob.OrganizationField, &FJob.EmailField, &FJob.DearField})
        if (!field->isEmpty())
            fields.push_back(&recipients.FieldByName(Text::ToLatin1(*field)));
    // Without a limit the walk ends at the table's end; counting the records first would read the table twice.
    const int last = FJob.LimitScope ? FScopeTo : std::numeric_limits<int>::max();
    int position = FScopeFrom;
    std::string text;
    for (; !recipients.Eof() && position <= last; recipients.Next(), ++position) {
        for (const TField* field : fields) {
            const std::string& bytes = field->AsString();
            std::size_t badAt = 0;
            text.clear();
            if (FCodePage->ToUtf8(bytes, text, badAt))
                continue;
            const QString reason = QString::fromStdString(FCodePage->DescribeBadByte(bytes, badAt));
            const QString where =
                QStringLiteral("Record %1, field %2 does not read in code page %3:\r\n%4.")
                    .arg(recipients.RecNo())
                    .arg(QString::fromLatin1(field->FieldName()), QString::fromStdString(FCodePage->Name()), reason);
            CloseQuietly(recipients);
            return where + QStringLiteral("\r\nChoose the table's code page on this page.");
        }
    }
    if (!FJob.LimitScope)
        FScopeTo = position - 1;
    // Back to the first record of the scope, where the run starts.
    engine.GoTop();
    if (FJob.LimitScope)
        engine.MoveBy(FScopeFrom - 1);
    return {};
}

// Two runs on one ledger would number the same runs and reset each other's log: the second (window or
// quorvel-send) is refused before it touches either table, and told which program holds them.
QString TMailingCheck::Lock() {
    const QString first = FJob.LogFolder.isEmpty() ? ProgramFolder() : WithSeparator(FJob.LogFolder);
    const QString folder = QFileInfo(first).isWritable() ? first : LogTablesFolder(FJob.LogFolder);
    auto lock = std::make_unique<TRunLock>(folder + QStringLiteral("mail_sent.lock"));
    if (lock->TryLock()) {
        FLock = std::move(lock);
        FLockFolder = folder;
        return {};
    }
    if (!lock->Problem().isEmpty())
        return lock->Problem();
    if (!lock->Busy())
        return {}; // a folder that takes no lock file takes no tables either: the log's check says so
    const qint64 pid = lock->Holder().Pid;
    const QString host = lock->Holder().Host;
    QString program = lock->Holder().Program;
    // The window and quorvel-send share the application name; the program file tells them apart.
    const QString file = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (host == QSysInfo::machineHostName() && !file.isEmpty())
        program = QFileInfo(file).fileName();
    return QStringLiteral("The delivery ledger in %1 is in use by %2 (process %3 on %4). Wait until that run has "
                          "ended.")
        .arg(folder, program.isEmpty() ? QStringLiteral("another program") : program)
        .arg(pid)
        .arg(host);
}

void TMailingCheck::ReleaseLock() {
    FLock.reset();
}

QString TMailingCheck::LogTables(TTable& recipients, TXbaseEngine& engine, TDeliveryLedger& ledger) {
    if (QString error = Lock(); !error.isEmpty()) {
        CloseQuietly(recipients);
        return error;
    }
    if (!CreateErrorLog(engine)) {
        CloseQuietly(recipients);
        FLock.reset();
        return QStringLiteral("Can't create error log table: ") + FErrorLogFolder + LogFileName +
               ReasonLine(engine.CreateError());
    }
    try {
        ledger.Open(engine, FErrorLogFolder);
        ledger.SetRunLockHeld(FLock && FLockFolder == FErrorLogFolder);
    } catch (const std::exception&) {
        CloseQuietly(recipients);
        FLog.reset();
        FLock.reset();
        return QStringLiteral("Can't create delivery ledger table: ") + FErrorLogFolder + TDeliveryLedger::FileName;
    }
    return {};
}

QString TMailingCheck::EngineReason(const std::exception& error) {
    return Reason(error);
}

QString TMailingCheck::ProgramFolder() {
    return WithSeparator(QCoreApplication::applicationDirPath());
}

QString TMailingCheck::LogTablesFolder(const QString& logFolder) {
    if (!logFolder.isEmpty())
        return WithSeparator(logFolder);
    // A program folder the user cannot write to (an installed program) gets its tables in the user's data folder.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (QFileInfo(ProgramFolder()).isWritable() || data.isEmpty() || !QDir().mkpath(data))
        return ProgramFolder();
    return WithSeparator(data);
}

bool TMailingCheck::CreateErrorLog(TXbaseEngine& engine) {
    FLog.reset();
    const QString first = FJob.LogFolder.isEmpty() ? ProgramFolder() : WithSeparator(FJob.LogFolder);
    if (CreateErrorLogIn(engine, first))
        return true;
    // A log refused for another reason than an unwritable program folder (in use by another run) must not be
    // split into a second one elsewhere.
    const QString fallback = LogTablesFolder(FJob.LogFolder);
    return fallback != first && CreateErrorLogIn(engine, fallback);
}

bool TMailingCheck::CreateErrorLogIn(TXbaseEngine& engine, const QString& folder) {
    FErrorLogFolder = folder;
    const std::string path = QFile::encodeName(folder + LogFileName).toStdString();
    bool result = true;
    if (FJob.ClearLog || !QFileInfo::exists(folder + LogFileName)) {
        result = engine.CreateNew(path, 2, 3);
        if (result) {
            engine.CreateField("ERR_TEXT", "C", 50, 0);
            engine.CreateField("NAME", "C", 10, 0);
            engine.CreateField("E_MAIL", "C", 50, 0);
            result = engine.CreateExec();
        }
    }
    if (!result)
        return false;
    try {
        auto log = std::make_unique<TTable>();
        log->SetDatabaseName(QFile::encodeName(folder).toStdString());
        log->SetTableName(QFile::encodeName(LogFileName).toStdString());
        log->SetTableType(ttXbFOX);
        log->SetActive(true);
        // A table of another structure under the same name would first fail at the run's first error, ending
        // the run there and losing that error: refuse it now, while the user can still tick the reset box.
        for (const char* field : {"ERR_TEXT", "NAME", "E_MAIL"})
            log->FieldByName(field);
        FLog = std::move(log);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::unique_ptr<TTable> TMailingCheck::TakeLog() {
    return std::move(FLog);
}
