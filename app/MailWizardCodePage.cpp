// The code page of the recipient table: the choice on page 4, its preview, and the check that every field reads.
#include "app/MailWizard.h"

#include "framework/Text.h"
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

// What a table without any declaration of its code page most likely holds: text from a Windows program.
const char* const FallbackCodePage = "CP1252";

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

std::unique_ptr<TCodePage> TMailWizardForm::OpenCodePage(const TTable& table) const {
    std::string name = CodePageSetting().toStdString();
    if (name.empty() || QString::fromStdString(name) == Automatic) {
        name = table.DeclaredCodePage();
        if (name.empty())
            name = FallbackCodePage;
    }
    return std::make_unique<TCodePage>(name);
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
            const std::unique_ptr<TCodePage> codePage = OpenCodePage(table);
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
    // The whole text is in the tool tip; the label shows what its width allows.
    ui->lblCodePagePreview->setText(
        ui->lblCodePagePreview->fontMetrics().elidedText(preview, Qt::ElideRight, ui->lblCodePagePreview->width()));
    ui->lblCodePagePreview->setToolTip(preview.isEmpty() ? tip : preview + QStringLiteral("\n") + tip);
}

// Reads every mapped field of every record in the scope: a byte that stands for no character in the code
// page is found now, with its record and field, and not halfway through the run.
bool TMailWizardForm::CheckFieldsDecode() {
    try {
        FCodePage = OpenCodePage(*tblRecipients);
    } catch (const std::exception& error) {
        CloseRecipients();
        return Fail(QString::fromUtf8(error.what()));
    }
    std::vector<const TField*> fields;
    for (const QComboBox* mapping : FieldMappings())
        if (!mapping->currentText().isEmpty())
            fields.push_back(&tblRecipients->FieldByName(Text::ToLatin1(mapping->currentText())));
    // Without a limit the walk ends at the table's end; counting the records first would read the table twice.
    const bool limited = ui->chbLimit->isChecked();
    const int last = limited ? FScopeTo : std::numeric_limits<int>::max();
    int position = FScopeFrom;
    std::string text;
    for (; !tblRecipients->Eof() && position <= last; tblRecipients->Next(), ++position) {
        for (const TField* field : fields) {
            const std::string& bytes = field->AsString();
            std::size_t badAt = 0;
            text.clear();
            if (FCodePage->ToUtf8(bytes, text, badAt))
                continue;
            const QString reason = QString::fromStdString(FCodePage->DescribeBadByte(bytes, badAt));
            const QString where =
                QStringLiteral("Record %1, field %2 does not read in code page %3:\r\n%4.")
                    .arg(tblRecipients->RecNo())
                    .arg(QString::fromLatin1(field->FieldName()), QString::fromStdString(FCodePage->Name()), reason);
            CloseRecipients();
            return Fail(where + QStringLiteral("\r\nChoose the table's code page on this page."));
        }
    }
    if (!limited)
        FScopeTo = position - 1;
    // Back to the first record of the scope, where the run starts.
    XbaseEngine->GoTop();
    if (ui->chbLimit->isChecked())
        XbaseEngine->MoveBy(FScopeFrom - 1);
    return true;
}
