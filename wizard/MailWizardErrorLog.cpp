// The error-log table mail_log.dbf: the check creates or resets it before a run; one row per failure of the run.
#include "wizard/MailWizard.h"

#include "mailing/MailingCheck.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

QString TMailWizardForm::ProgramFolder() {
    return TMailingCheck::ProgramFolder();
}

QString TMailWizardForm::LogTablesFolder() const {
    return TMailingCheck::LogTablesFolder(LogFolder);
}

void TMailWizardForm::AppendErrorLog(const std::string& Text) {
    TMailingRun::AppendLogRow(*tblLog, Text, MappedField(ui->cmbName), MappedField(ui->cmbEmail));
}
