// The code page of the recipient table: the choice on page 4, its preview, and the check that every field reads.
#include "wizard/MailWizard.h"

#include "framework/core/Text.h"
#include "mailing/MailingCheck.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "ui_MailWizard.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QSignalBlocker>
#include <limits>

namespace {

const QString Automatic = QStringLiteral("Automatic");

} // namespace

void TMailWizardForm::FillCodePages() {
    const QSignalBlocker quiet(ui->cmbCodePage);
    ui->cmbCodePage->clear();
    ui->cmbCodePage->addItem(Automatic, Automatic);
    for (const TCodePage::TChoice& choice : TCodePage::Choices())
        ui->cmbCodePage->addItem(
            QStringLiteral("%1 %2").arg(QString::fromLatin1(choice.Name), QString::fromLatin1(choice.Description)),
            QString::fromLatin1(choice.Name));
    ui->cmbCodePage->view()->setMinimumWidth(220);
}

QString TMailWizardForm::CodePageSetting() const {
    return ui->cmbCodePage->currentData().toString();
}

void TMailWizardForm::SetCodePageSetting(const QString& name) {
    const int index = ui->cmbCodePage->findData(name, Qt::UserRole, Qt::MatchFixedString);
    ui->cmbCodePage->setCurrentIndex(index < 0 ? 0 : index);
}

void TMailWizardForm::cmbCodePageChange(QObject* Sender) {
    SettingsChange(Sender);
    UpdateCodePagePreview();
}

// The first record's name and address as the chosen code page reads them, so a wrong choice shows at once.
void TMailWizardForm::UpdateCodePagePreview() {
    QString preview;
    QString tip;
    const std::string path = tblRecipients->TableName();
    if (!path.empty() && !tblRecipients->Active() && QFileInfo(RecipientTablePath()).isFile()) {
        try {
            TTable table;
            table.SetTableName(path);
            table.SetTableType(ttXbFOX);
            table.SetReadOnly(true);
            table.SetActive(true);
            const std::unique_ptr<TCodePage> codePage = TMailingCheck::OpenCodePage(CodePageSetting(), table);
            tip = QStringLiteral("Read as %1").arg(QString::fromStdString(codePage->Name()));
            if (!table.Eof()) {
                const auto read = [&](const QComboBox* mapping) {
                    if (mapping->currentText().isEmpty())
                        return std::string();
                    return codePage->ToUtf8(table.FieldByName(Text::ToLatin1(mapping->currentText())).AsString());
                };
                const std::string name = Text::Trim(read(ui->cmbName));
                const std::string address = Text::Trim(read(ui->cmbEmail));
                preview = QString::fromStdString(name.empty() || address.empty() ? name + address
                                                                                 : name + " <" + address + ">");
            }
        } catch (const std::exception& error) {
            preview = QStringLiteral("(unreadable)");
            tip = QString::fromUtf8(error.what());
        }
    }
    // The code page in words beside the Preview button; the whole text is in the tool tip.
    const QString used = tip.startsWith(QStringLiteral("Read as ")) ? tip : QString();
    ui->lblCodePageUsed->setText(used);
    ui->lblCodePageUsed->setAccessibleName(used.isEmpty() ? QStringLiteral("Code page") : used);
    // The label shows what its width allows.
    ui->lblCodePagePreview->setText(
        ui->lblCodePagePreview->fontMetrics().elidedText(preview, Qt::ElideRight, ui->lblCodePagePreview->width()));
    ui->lblCodePagePreview->setToolTip(preview.isEmpty() ? tip : preview + QStringLiteral("\n") + tip);
}
