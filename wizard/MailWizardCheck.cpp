// The check before a run, the field lists of the recipient table and the Browse dialog.
#include "wizard/MailWizard.h"

#include "mailing/MailingCheck.h"
#include "mailing/MailingLogin.h"
#include "wizard/SecurityDialog.h"
#include "framework/widgets/Hourglass.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/core/SettingsStore.h"
#include "framework/core/Text.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"

#include <utility>
#include "table/XbaseEngine.h"
#include "ui_MailWizard.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSignalBlocker>

#include <algorithm>
#include <array>

namespace {

// Replaces a combo box's item list and keeps the field name the user typed.
void SetItemsKeepText(QComboBox* combo, const QStringList& items) {
    const QString text = combo->currentText();
    const QSignalBlocker quiet(combo);
    combo->clear();
    combo->addItems(items);
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
}

const QString CantOpenTable = QStringLiteral("Can't open recipient table:\r\n");

} // namespace

bool TMailWizardForm::Fail(const QString& message) {
    ShowErrorMessage(message);
    return false;
}

bool TMailWizardForm::Passed(const QString& error) {
    return error.isEmpty() || Fail(error);
}

QString TMailWizardForm::RecipientTablePath() const {
    return TMailingCheck::TablePath(*tblRecipients);
}

void TMailWizardForm::CloseRecipients() {
    try {
        tblRecipients->Close();
    } catch (const std::exception&) {
        // Closing gives nothing back worth reporting in the middle of another failure.
    }
}

bool TMailWizardForm::CheckSettings() {
    return CheckMessage() && CheckServer() && CheckSender() && CheckRetries() && CheckList() && CheckRecipients() &&
           CheckLogTables();
}

// The first step of every check: it takes the mailing as the controls show it now.
bool TMailWizardForm::CheckMessage() {
    FCheck = std::make_unique<TMailingCheck>(CheckedJob(), *SmtpClient);
    const QString error = FCheck->Message();
    FSubject = FCheck->Subject();
    return Passed(error);
}

bool TMailWizardForm::CheckServer() {
    const QString error = FCheck->Server();
    if (!FCheck->KeyringPassword().isEmpty()) {
        SecurityDlg->SetPassword(FCheck->KeyringPassword()); // in memory from now on: the keyring is asked once
        FKeyringHolds = PasswordKey() + QLatin1Char('\n') + FCheck->KeyringPassword();
    }
    if (FCheck->Job().TokenSource && !SecurityDlg->Session() &&
        MailingLogin::RefreshTokenKey(FCheck->Job()) != FRefusedSignIn)
        SecurityDlg->SetSession(FCheck->Job().TokenSource); // the stored sign-in, read from the keyring once
    if (!FCheck->KeyringNote().isEmpty() && !std::exchange(FNoKeyringTold, true))
        MessageDlg::Warning(this, FCheck->KeyringNote());
    return Passed(error);
}

bool TMailWizardForm::CheckSender() {
    return Passed(FCheck->Sender());
}

bool TMailWizardForm::CheckRetries() {
    return Passed(FCheck->Retries());
}

bool TMailWizardForm::CheckRecipients() {
    return Passed(FCheck->Recipients(*tblRecipients, *XbaseEngine));
}

bool TMailWizardForm::CheckLogTables() {
    const QString error = FCheck->LogTables(*tblRecipients, *XbaseEngine, *Ledger);
    FErrorLogFolder = FCheck->ErrorLogFolder();
    tblLog = FCheck->TakeLog();
    return Passed(error);
}

std::string TMailWizardForm::MappedField(const QComboBox* mapping) const {
    return TMailingCheck::FieldValue(*tblRecipients, FCheck ? FCheck->CodePage() : nullptr, mapping->currentText());
}

std::array<QComboBox*, 4> TMailWizardForm::FieldMappings() const {
    return {ui->cmbName, ui->cmbOrganization, ui->cmbEmail, ui->cmbDear};
}

void TMailWizardForm::edtTableExit(QObject* /*Sender*/) {
    if (!ui->edtTable->isModified())
        return;
    tblRecipients->SetTableName(QFile::encodeName(ui->edtTable->text()).toStdString());
    for (QComboBox* combo : FieldMappings())
        SetItemsKeepText(combo, {});
    SetItemsKeepText(ui->cmbAttachmentField, {});
    ui->edtTable->setModified(false);
    MapKnownFields();
    UpdateCodePagePreview();
}

std::vector<std::string> TMailWizardForm::TableFieldNames() const {
    std::vector<std::string> names;
    try {
        TTable table;
        table.SetTableName(tblRecipients->TableName());
        table.SetTableType(ttXbFOX);
        table.SetReadOnly(true);
        table.GetFieldNames(names);
    } catch (const std::exception&) {
        names.clear(); // the check tells what is wrong with the table
    }
    return names;
}

void TMailWizardForm::MapKnownFields() {
    if (!QFileInfo(RecipientTablePath()).isFile())
        return;
    const std::vector<std::string> names = TableFieldNames();
    // In order of preference; a dBase field name holds at most 10 characters, hence ORGANIZATI.
    static const std::array<QStringList, 4> known{{{"NAME"},
                                                   {"ORG", "ORGANIZATION", "ORGANIZATI"},
                                                   {"EMAIL", "E_MAIL", "MAIL"},
                                                   {"DEAR", "SALUTATION"}}};
    const auto mappings = FieldMappings();
    for (size_t i = 0; i < mappings.size(); ++i) {
        if (!mappings[i]->currentText().trimmed().isEmpty())
            continue; // the user's choice stands
        for (const QString& wanted : known[i]) {
            const auto name = std::find_if(names.begin(), names.end(), [&wanted](const std::string& candidate) {
                return wanted.compare(Text::FromLatin1(candidate), Qt::CaseInsensitive) == 0;
            });
            if (name != names.end()) {
                mappings[i]->setEditText(Text::FromLatin1(*name));
                break;
            }
        }
    }
}

void TMailWizardForm::cmbNameDropDown(QObject* /*Sender*/) {
    if (tblRecipients->TableName().empty() || ui->cmbName->count() != 0)
        return;
    std::vector<std::string> names;
    QString problem;
    {
        THourglass busy;
        try {
            tblRecipients->GetFieldNames(names);
        } catch (const EDBEngineError& error) {
            problem = CantOpenTable + RecipientTablePath() + TMailingCheck::EngineReason(error);
        }
    }
    if (!problem.isEmpty())
        return ShowErrorMessage(problem);
    QStringList items;
    for (const std::string& name : names)
        items << Text::FromLatin1(name);
    for (QComboBox* combo : FieldMappings())
        SetItemsKeepText(combo, items);
}

void TMailWizardForm::btnBrowseClick(QObject* /*Sender*/) {
    QFileDialog dialog(this, QStringLiteral("Open"));
    // Our own dialog: the same on every desktop, with the file name typed into a plain edit field.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters({QStringLiteral("Dbase and Foxpro Tables (*.dbf *.DBF)"), QStringLiteral("All Files (*)")});
    const QString current = ui->edtTable->text();
    if (!current.isEmpty() && QFileInfo(current).absoluteDir().exists()) {
        const QFileInfo info(current);
        dialog.setDirectory(info.absolutePath());
        dialog.selectFile(info.fileName());
    } else {
        // Tables live with the user's documents, never in the program's folder.
        dialog.setDirectory(QDir::homePath());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().first());
    if (chosen == current)
        return;
    ui->edtTable->setText(chosen);
    ui->edtTable->setModified(true);
    edtTableExit(ui->edtTable);
    SettingsChange(ui->btnBrowse);
}
