// The error-log table mail_log.dbf: created or reset before a run, one row per failure of the run.
#include "app/MailWizard.h"

#include "table/CodePage.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "ui_MailWizard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString LogFileName = QStringLiteral("mail_log.dbf");

QString WithSeparator(const QString& folder) {
    return folder.endsWith('/') ? folder : folder + QLatin1Char('/');
}

} // namespace

QString TMailWizardForm::ProgramFolder() {
    return WithSeparator(QCoreApplication::applicationDirPath());
}

bool TMailWizardForm::CreateErrorLog() {
    // A log left open by an earlier check is closed before its file may be replaced.
    tblLog.reset();
    const QString first = LogFolder.isEmpty() ? ProgramFolder() : WithSeparator(LogFolder);
    if (CreateErrorLogIn(first))
        return true;
    // A log refused for another reason than an unwritable program folder (in use by another run) must not be
    // split into a second one elsewhere.
    const QString fallback = LogTablesFolder();
    return fallback != first && CreateErrorLogIn(fallback);
}

QString TMailWizardForm::LogTablesFolder() const {
    if (!LogFolder.isEmpty())
        return WithSeparator(LogFolder);
    // A program folder the user cannot write to (an installed program) gets its tables in the user's data folder.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (QFileInfo(ProgramFolder()).isWritable() || data.isEmpty() || !QDir().mkpath(data))
        return ProgramFolder();
    return WithSeparator(data);
}

bool TMailWizardForm::CreateErrorLogIn(const QString& folder) {
    FErrorLogFolder = folder;
    const std::string path = QFile::encodeName(folder + LogFileName).toStdString();
    bool result = true;
    if (ui->chbClearLog->isChecked() || !QFileInfo::exists(folder + LogFileName)) {
        result = XbaseEngine->CreateNew(path, 2, 3);
        if (result) {
            XbaseEngine->CreateField("ERR_TEXT", "C", 50, 0);
            XbaseEngine->CreateField("NAME", "C", 10, 0);
            XbaseEngine->CreateField("E_MAIL", "C", 50, 0);
            result = XbaseEngine->CreateExec();
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
        tblLog = std::move(log);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void TMailWizardForm::AppendErrorLog(const std::string& Text) {
    TMailingRun::AppendLogRow(*tblLog, Text, MappedField(ui->cmbName), RecipientField(ui->cmbEmail));
}
