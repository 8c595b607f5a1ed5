// The wizard's settings: loading and saving them, and the check before a run.
#include "app/MailWizard.h"

#include "app/SecurityDialog.h"
#include "app/SettingsTable.h"

#include "framework/Hourglass.h"
#include "framework/MessageDlg.h"
#include "framework/SettingsStore.h"
#include "framework/Text.h"
#include "ui_MailWizard.h"
#include "ui_SecurityDialog.h"

namespace {

const QString SettingsSection = QStringLiteral("Settings");
const QString MessageSection = QStringLiteral("Message");

} // namespace

std::vector<TSettingRow> TMailWizardForm::SettingsRows() const {
    const Ui::SecurityDialog& security = SecurityDlg->Controls();
    // In the order the first version read and wrote them; new settings go at the end. The password is never
    // among them: it lives in the desktop's keyring or in memory.
    return {
        {SettingsSection, QStringLiteral("SMTP Server"), ui->edtSMTPServer},
        {SettingsSection, QStringLiteral("Name"), ui->edtName},
        {SettingsSection, QStringLiteral("Organization"), ui->edtOrganization},
        {SettingsSection, QStringLiteral("Return Address"), ui->edtReturnAddress},
        {SettingsSection, QStringLiteral("Timeout"), ui->trbTimeout},
        {SettingsSection, QStringLiteral("Clear Error Log"), ui->chbClearLog},
        {SettingsSection, QStringLiteral("Wrap Lines"), ui->edtWrapLines},
        {SettingsSection, QStringLiteral("Database Table"), ui->edtTable},
        {SettingsSection, QStringLiteral("Name Field"), ui->cmbName},
        {SettingsSection, QStringLiteral("Organization Field"), ui->cmbOrganization},
        {SettingsSection, QStringLiteral("E-mail Field"), ui->cmbEmail},
        {SettingsSection, QStringLiteral("Dear Field"), ui->cmbDear},
        {MessageSection, QStringLiteral("Subject"), ui->edtSubject},
        {MessageSection, QStringLiteral("Text"), ui->memMessage},
        {SettingsSection, QStringLiteral("Limit Scope"), ui->chbLimit},
        {SettingsSection, QStringLiteral("Scope From"), ui->edtScopeFrom},
        {SettingsSection, QStringLiteral("Scope To"), ui->edtScopeTo},
        {SettingsSection, QStringLiteral("Code Page"), ui->cmbCodePage},
        {SettingsSection, QStringLiteral("SMTP Port"), security.edtPort},
        {SettingsSection, QStringLiteral("Security"), security.cmbSecurity},
        {SettingsSection, QStringLiteral("User Name"), security.edtUserName},
        {SettingsSection, QStringLiteral("Remember Password"), security.chbRememberPassword},
        {SettingsSection, QStringLiteral("Allow Clear Password"), security.chbAllowClearPassword},
        {SettingsSection, QStringLiteral("Trusted Certificate"), security.edtCertificate},
        {SettingsSection, QStringLiteral("Max Per Minute"), ui->edtMaxPerMinute},
        {SettingsSection, QStringLiteral("Max Per Hour"), ui->edtMaxPerHour},
    };
}

void TMailWizardForm::LoadSettings() {
    SettingsTable::Load(*RegSettings, SettingsRows());
    trbTimeoutChange(ui->trbTimeout);
    chbLimitClick(ui->chbLimit);
    ui->edtTable->setModified(true);
    edtTableExit(ui->edtTable);
}

void TMailWizardForm::SaveSettings() {
    TSettingsStore& store = *RegSettings;
    SettingsTable::Save(store, SettingsRows());
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
