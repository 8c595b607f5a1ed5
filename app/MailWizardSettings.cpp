// The wizard's settings: loading and saving them, and the check before a run.
#include "app/MailWizard.h"

#include "framework/Hourglass.h"
#include "framework/MessageDlg.h"
#include "framework/SettingsStore.h"
#include "framework/Text.h"
#include "ui_MailWizard.h"

namespace {

const QString SettingsSection = QStringLiteral("Settings");
const QString MessageSection = QStringLiteral("Message");

// The memo separates lines with LF; the stored text and the body the run sends use CR LF.
QString ToCrLf(const QString& text) {
    QString result = text;
    result.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return result;
}

QString FromCrLf(const QString& text) {
    QString result = text;
    result.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

} // namespace

void TMailWizardForm::LoadSettings() {
    TSettingsStore& store = *RegSettings;
    const auto loadText = [&store](const QString& section, const QString& ident, QLineEdit* edit) {
        edit->setText(store.ReadString(section, ident, edit->text()));
    };
    const auto loadCombo = [&store](const QString& ident, QComboBox* combo) {
        combo->setEditText(store.ReadString(SettingsSection, ident, combo->currentText()));
    };
    loadText(SettingsSection, QStringLiteral("SMTP Server"), ui->edtSMTPServer);
    loadText(SettingsSection, QStringLiteral("Name"), ui->edtName);
    loadText(SettingsSection, QStringLiteral("Organization"), ui->edtOrganization);
    loadText(SettingsSection, QStringLiteral("Return Address"), ui->edtReturnAddress);
    // The track bar keeps its position within its range, so a stored 5 shows as 10.
    ui->trbTimeout->setValue(store.ReadInteger(SettingsSection, QStringLiteral("Timeout"), ui->trbTimeout->value()));
    ui->chbClearLog->setChecked(
        store.ReadBool(SettingsSection, QStringLiteral("Clear Error Log"), ui->chbClearLog->isChecked()));
    loadText(SettingsSection, QStringLiteral("Wrap Lines"), ui->edtWrapLines);
    loadText(SettingsSection, QStringLiteral("Database Table"), ui->edtTable);
    loadCombo(QStringLiteral("Name Field"), ui->cmbName);
    loadCombo(QStringLiteral("Organization Field"), ui->cmbOrganization);
    loadCombo(QStringLiteral("E-mail Field"), ui->cmbEmail);
    loadCombo(QStringLiteral("Dear Field"), ui->cmbDear);
    loadText(MessageSection, QStringLiteral("Subject"), ui->edtSubject);
    ui->memMessage->setPlainText(
        FromCrLf(store.ReadString(MessageSection, QStringLiteral("Text"), ToCrLf(ui->memMessage->toPlainText()))));
    ui->chbLimit->setChecked(store.ReadBool(SettingsSection, QStringLiteral("Limit Scope"), ui->chbLimit->isChecked()));
    loadText(SettingsSection, QStringLiteral("Scope From"), ui->edtScopeFrom);
    loadText(SettingsSection, QStringLiteral("Scope To"), ui->edtScopeTo);

    trbTimeoutChange(ui->trbTimeout);
    chbLimitClick(ui->chbLimit);
    ui->edtTable->setModified(true);
    edtTableExit(ui->edtTable);
}

void TMailWizardForm::SaveSettings() {
    TSettingsStore& store = *RegSettings;
    const auto saveText = [&store](const QString& section, const QString& ident, const QLineEdit* edit) {
        store.WriteString(section, ident, edit->text());
    };
    saveText(SettingsSection, QStringLiteral("SMTP Server"), ui->edtSMTPServer);
    saveText(SettingsSection, QStringLiteral("Name"), ui->edtName);
    saveText(SettingsSection, QStringLiteral("Organization"), ui->edtOrganization);
    saveText(SettingsSection, QStringLiteral("Return Address"), ui->edtReturnAddress);
    store.WriteInteger(SettingsSection, QStringLiteral("Timeout"), ui->trbTimeout->value());
    store.WriteBool(SettingsSection, QStringLiteral("Clear Error Log"), ui->chbClearLog->isChecked());
    saveText(SettingsSection, QStringLiteral("Wrap Lines"), ui->edtWrapLines);
    saveText(SettingsSection, QStringLiteral("Database Table"), ui->edtTable);
    store.WriteString(SettingsSection, QStringLiteral("Name Field"), ui->cmbName->currentText());
    store.WriteString(SettingsSection, QStringLiteral("Organization Field"), ui->cmbOrganization->currentText());
    store.WriteString(SettingsSection, QStringLiteral("E-mail Field"), ui->cmbEmail->currentText());
    store.WriteString(SettingsSection, QStringLiteral("Dear Field"), ui->cmbDear->currentText());
    saveText(MessageSection, QStringLiteral("Subject"), ui->edtSubject);
    store.WriteString(MessageSection, QStringLiteral("Text"), ToCrLf(ui->memMessage->toPlainText()));
    store.WriteBool(SettingsSection, QStringLiteral("Limit Scope"), ui->chbLimit->isChecked());
    saveText(SettingsSection, QStringLiteral("Scope From"), ui->edtScopeFrom);
    saveText(SettingsSection, QStringLiteral("Scope To"), ui->edtScopeTo);
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
            ui->btnNext->setAccessibleName(QStringLiteral("Start!"));
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
