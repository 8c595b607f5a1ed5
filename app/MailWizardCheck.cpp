// The check before a run, the field lists of the recipient table and the Browse dialog.
#include "app/MailWizard.h"

#include "app/MessageText.h"
#include "framework/Hourglass.h"
#include "framework/SettingsStore.h"
#include "framework/Text.h"
#include "smtp/SmtpClient.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "ui_MailWizard.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSignalBlocker>

#include <algorithm>

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

} // namespace

bool TMailWizardForm::Fail(const QString& message) {
    ShowErrorMessage(message);
    return false;
}

// Any text can be sent, but an address goes on the wire as it stands: outside ASCII no server would take it.
bool TMailWizardForm::CheckCharacters(const QString& text, const QString& field) {
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; }))
        return true;
    return Fail(QStringLiteral("The %1 holds characters that cannot be sent (an e-mail address must be plain "
                               "ASCII).")
                    .arg(field));
}

QString TMailWizardForm::RecipientTablePath() const {
    return QFile::decodeName(QByteArray::fromStdString(tblRecipients->TableName()));
}

void TMailWizardForm::CloseRecipients() {
    try {
        tblRecipients->Close();
    } catch (const std::exception&) {
        // Closing gives nothing back worth reporting in the middle of another failure.
    }
}

bool TMailWizardForm::CheckSettings() {
    return CheckMessage() && CheckServer() && CheckSender() && CheckRecipients() && CheckLogTables();
}

bool TMailWizardForm::CheckMessage() {
    const QString subject = Text::Trim(ui->edtSubject->text());
    FSubject = subject.toStdString();
    SmtpClient->SetHdrSubject(FSubject);
    if (subject.isEmpty())
        return Fail(QStringLiteral("No message subject specified."));

    const QString body = ui->memMessage->toPlainText();
    if (Text::Trim(body).isEmpty())
        return Fail(QStringLiteral("Message is empty."));
    return true;
}

bool TMailWizardForm::CheckServer() {
    const QString host = Text::Trim(ui->edtSMTPServer->text());
    SmtpClient->SetHost(host.toStdString());
    if (host.isEmpty())
        return Fail(QStringLiteral("No SMTP mail server specified."));
    QString connectionError;
    if (!ApplyConnectionSettings(*SmtpClient, connectionError))
        return Fail(connectionError);
    return true;
}

bool TMailWizardForm::CheckSender() {
    const QString returnAddress = Text::Trim(ui->edtReturnAddress->text());
    SmtpClient->SetFromName(returnAddress.toStdString());
    if (returnAddress.isEmpty())
        return Fail(QStringLiteral("No return address specified."));
    if (!CheckCharacters(returnAddress, QStringLiteral("return address")))
        return false;

    const QString name = Text::Trim(ui->edtName->text());
    SmtpClient->SetHdrFrom(name.isEmpty() ? SmtpClient->FromName()
                                          : MessageText::Mailbox(name.toStdString(), SmtpClient->FromName()));
    return true;
}

bool TMailWizardForm::CheckRecipients() {
    // Without a readable column the feed would end every body at once: each recipient would get an empty mail.
    bool wrapReadable = false;
    ui->edtWrapLines->text().toInt(&wrapReadable);
    if (!wrapReadable)
        return Fail(QStringLiteral("Invalid line wrap column specified."));

    if (tblRecipients->TableName().empty())
        return Fail(QStringLiteral("No recipient table specified."));
    if (!QFileInfo(RecipientTablePath()).isFile())
        return Fail(QStringLiteral("Can't find recipient table:\r\n") + RecipientTablePath());
    if (ui->cmbEmail->currentText().isEmpty()) {
        // Empty field lists often mean the file is no table at all: that is what the user must hear.
        const QString problem = FieldListProblem(*tblRecipients);
        if (!problem.isEmpty())
            return Fail(CantOpenTable + RecipientTablePath() + problem);
        return Fail(QStringLiteral("No e-mail field specified in recipient's table."));
    }

    FCodePage.reset();
    return OpenRecipients() && ReadMappedFields() && CheckFieldsDecode();
}

bool TMailWizardForm::CheckLogTables() {
    if (!CreateErrorLog()) {
        CloseRecipients();
        return Fail(QStringLiteral("Can't create error log table: ") + ErrorLogFolder() +
                    QStringLiteral("mail_log.dbf") + ReasonLine(XbaseEngine->CreateError()));
    }
    try {
        Ledger->Open(*XbaseEngine, ErrorLogFolder());
    } catch (const std::exception&) {
        CloseRecipients();
        tblLog.reset();
        return Fail(QStringLiteral("Can't create delivery ledger table: ") + ErrorLogFolder() +
                    TDeliveryLedger::FileName);
    }
    return true;
}

// Opens the table at the first record of the scope.
bool TMailWizardForm::OpenRecipients() {
    try {
        tblRecipients->SetActive(true);
        XbaseEngine->GoTop();
        FScopeFrom = 1;
        FScopeTo = 0;
        if (ui->chbLimit->isChecked()) {
            int from = 0;
            int to = 0;
            if (!TSettingsStore::ParseInteger(ui->edtScopeFrom->text(), from) ||
                !TSettingsStore::ParseInteger(ui->edtScopeTo->text(), to))
                throw EDatabaseError("not a record number");
            if (to < from || from <= 0 || to > tblRecipients->RecordCount()) {
                CloseRecipients();
                return Fail(QStringLiteral("Invalid scope specified."));
            }
            XbaseEngine->MoveBy(from - 1);
            FScopeFrom = from;
            FScopeTo = to;
        }
    } catch (const std::exception& error) {
        CloseRecipients();
        return Fail(CantOpenTable + RecipientTablePath() + Reason(error));
    }
    return true;
}

// Reads every mapped field once, so that a wrong field name shows now and not at the first recipient.
bool TMailWizardForm::ReadMappedFields() {
    for (const QComboBox* mapping : FieldMappings()) {
        if (mapping->currentText().isEmpty())
            continue;
        try {
            RecipientField(mapping);
        } catch (const std::exception& error) {
            CloseRecipients();
            return Fail(QStringLiteral("Invalid field in recipient table:\r\n") + QString::fromLocal8Bit(error.what()));
        }
    }
    return true;
}

std::string TMailWizardForm::RecipientField(const QComboBox* mapping) const {
    const std::string& bytes = tblRecipients->FieldByName(Text::ToLatin1(mapping->currentText())).AsString();
    return FCodePage ? FCodePage->ToUtf8(bytes) : bytes;
}

std::string TMailWizardForm::MappedField(const QComboBox* mapping) const {
    return mapping->currentText().isEmpty() ? std::string() : RecipientField(mapping);
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
    ui->edtTable->setModified(false);
    UpdateCodePagePreview();
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
            problem = CantOpenTable + RecipientTablePath() + Reason(error);
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
    if (!current.isEmpty()) {
        const QFileInfo info(current);
        dialog.setDirectory(info.absolutePath());
        dialog.selectFile(info.fileName());
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
