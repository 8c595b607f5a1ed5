// The wizard's settings: loading and saving them, and the check before a run.
#include "wizard/MailWizard.h"

#include "wizard/ListDialog.h"
#include "wizard/SecurityDialog.h"
#include "mailing/SettingsTable.h"

#include "framework/widgets/Hourglass.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/core/SettingsStore.h"
#include "framework/core/Text.h"
#include "ui_MailWizard.h"
#include "ui_SecurityDialog.h"

TMailingJob TMailWizardForm::Job() const {
    const Ui::SecurityDialog& security = SecurityDlg->Controls();
    TMailingJob job;
    job.Subject = ui->edtSubject->text();
    job.Text = Text::ToCrLf(ui->memMessage->toPlainText());
    job.Attachments = AttachmentsSetting();
    job.HtmlFile = ui->edtHtmlFile->text();
    job.WrapLines = ui->edtWrapLines->text();
    job.Name = ui->edtName->text();
    job.Organization = ui->edtOrganization->text();
    job.ReturnAddress = ui->edtReturnAddress->text();
    job.Server = ui->edtSMTPServer->text();
    job.Port = security.edtPort->text();
    job.Security = security.cmbSecurity->currentIndex();
    job.UserName = security.edtUserName->text();
    job.RememberPassword = security.chbRememberPassword->isChecked();
    job.AllowClearPassword = security.chbAllowClearPassword->isChecked();
    job.Certificate = security.edtCertificate->text();
    job.Connections = security.spnConnections->value();
    job.Timeout = ui->trbTimeout->value();
    job.Password = SecurityDlg->Password();
    job.Table = ui->edtTable->text();
    job.NameField = ui->cmbName->currentText();
    job.OrganizationField = ui->cmbOrganization->currentText();
    job.EmailField = ui->cmbEmail->currentText();
    job.DearField = ui->cmbDear->currentText();
    job.AttachmentField = ui->cmbAttachmentField->currentText();
    job.AttachmentFolder = ui->edtAttachmentFolder->text();
    job.CodePage = CodePageSetting();
    job.LimitScope = ui->chbLimit->isChecked();
    job.ScopeFrom = ui->edtScopeFrom->text();
    job.ScopeTo = ui->edtScopeTo->text();
    job.ClearLog = ui->chbClearLog->isChecked();
    job.MaxPerMinute = ui->edtMaxPerMinute->text();
    job.MaxPerHour = ui->edtMaxPerHour->text();
    job.RetryDelays = ui->edtRetryDelays->text();
    job.Resume = ui->chbResume->isChecked();
    job.RetryFailed = ui->chbRetryFailed->isChecked();
    job.LogFolder = LogFolder;
    SecurityDlg->ReadOAuth(job);
    job.TokenSource = SecurityDlg->Session();
    ListDlg->FillJob(job);
    job.AddFooter = ui->chbAddFooter->isChecked();
    job.OncePerAddress = ui->chbOncePerAddress->isChecked();
    return job;
}

void TMailWizardForm::ShowJob(const TMailingJob& job) {
    const Ui::SecurityDialog& security = SecurityDlg->Controls();
    ui->edtSubject->setText(job.Subject);
    ui->memMessage->setPlainText(Text::FromCrLf(job.Text));
    SetAttachmentsSetting(job.Attachments);
    ui->edtHtmlFile->setText(job.HtmlFile);
    ui->edtWrapLines->setText(job.WrapLines);
    ui->edtName->setText(job.Name);
    ui->edtOrganization->setText(job.Organization);
    ui->edtReturnAddress->setText(job.ReturnAddress);
    ui->edtSMTPServer->setText(job.Server);
    security.edtPort->setText(job.Port);
    // A choice the list does not have keeps the one shown.
    if (job.Security >= 0 && job.Security < security.cmbSecurity->count())
        security.cmbSecurity->setCurrentIndex(job.Security);
    security.edtUserName->setText(job.UserName);
    security.chbRememberPassword->setChecked(job.RememberPassword);
    security.chbAllowClearPassword->setChecked(job.AllowClearPassword);
    security.edtCertificate->setText(job.Certificate);
    // The box keeps its value within its range, as the check reads a stored value outside it.
    security.spnConnections->setValue(job.Connections);
    SecurityDlg->ShowOAuth(job);
    // The slider keeps its position within its range, so a stored 5 shows as 10.
    ui->trbTimeout->setValue(job.Timeout);
    ui->edtTable->setText(job.Table);
    ui->cmbName->setEditText(job.NameField);
    ui->cmbOrganization->setEditText(job.OrganizationField);
    ui->cmbEmail->setEditText(job.EmailField);
    ui->cmbDear->setEditText(job.DearField);
    ui->cmbAttachmentField->setEditText(job.AttachmentField);
    ui->edtAttachmentFolder->setText(job.AttachmentFolder);
    if (const int index = ui->cmbCodePage->findData(job.CodePage, Qt::UserRole, Qt::MatchFixedString); index >= 0)
        ui->cmbCodePage->setCurrentIndex(index);
    ui->chbLimit->setChecked(job.LimitScope);
    ui->edtScopeFrom->setText(job.ScopeFrom);
    ui->edtScopeTo->setText(job.ScopeTo);
    ui->chbClearLog->setChecked(job.ClearLog);
    ui->edtMaxPerMinute->setText(job.MaxPerMinute);
    ui->edtMaxPerHour->setText(job.MaxPerHour);
    ui->edtRetryDelays->setText(job.RetryDelays);
    ui->chbResume->setChecked(job.Resume);
    ui->chbRetryFailed->setChecked(job.RetryFailed);
    ListDlg->ShowJob(job);
    ui->chbAddFooter->setChecked(job.AddFooter);
    ui->chbOncePerAddress->setChecked(job.OncePerAddress);
}

void TMailWizardForm::LoadSettings() {
    ShowJob(SettingsTable::Load(*RegSettings));
    trbTimeoutChange(ui->trbTimeout);
    chbLimitClick(ui->chbLimit);
    ui->edtTable->setModified(true);
    edtTableExit(ui->edtTable);
}

void TMailWizardForm::SaveSettings() {
    TSettingsStore& store = *RegSettings;
    SettingsTable::Save(store, Job());
    // Settings that silently fail to reach the disk would be lost at the next start.
    if (!store.Flush())
        MessageDlg::Warning(this, QStringLiteral("The settings could not be saved to:\r\n") + store.Location());
}

bool TMailWizardForm::Prepared() {
    // A table path typed and confirmed with Enter never left its edit: take it before checking.
    edtTableExit(ui->edtTable);
    bool result = false;
    {
        ui->lblTitle->setText(QStringLiteral("Checking..."));
        THourglass busy;
        ui->btnNext->setEnabled(false);
        ui->btnBack->setEnabled(false);
        repaint();
        result = CheckSettings();
        // The user sees what the run will do before "Start!" is offered, and may go back to page 4.
        const TPreflightAnswer preflight = result ? AskPreflight() : TPreflightAnswer::Failed;
        result = preflight == TPreflightAnswer::Continue;
        if (result) {
            ui->stkPages->setCurrentWidget(ui->pnlPage5);
            ui->btnNext->setText(QStringLiteral("Start!"));
            ui->btnNext->setToolTip(QStringLiteral("Begin mailing"));
            ui->btnNext->setEnabled(true);
            ui->btnNext->setFocus();
            ui->lblTitle->setText(QStringLiteral("Ready to send mail"));
        } else if (preflight == TPreflightAnswer::Back) {
            ui->lblTitle->setText(QStringLiteral("Prepare recipient list"));
            ui->edtTable->setFocus();
        } else {
            ui->btnBack->setEnabled(true);
            ui->btnBack->setFocus();
            ui->lblTitle->setText(QStringLiteral("Not ready"));
        }
        ui->btnNext->setEnabled(true);
        ui->btnBack->setEnabled(true);
        repaint();
    }
    return result;
}

void TMailWizardForm::ShowErrorMessage(const QString& Msg) {
    MessageDlg::Warning(this, Msg + QStringLiteral(" \r\n\r\nPlease check settings."));
}
