// The message's files and HTML version on pages 2 and 4: the list for every message, the HTML file, the field
// naming each record's own files and the folder they are looked up in.
#include "wizard/MailWizard.h"

#include "framework/core/Text.h"
#include "framework/widgets/Hourglass.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>

namespace {

// The folder a dialog opens in: the one of the path shown, else the user's home (never the program's folder).
QString StartFolder(const QString& shown) {
    const QFileInfo info(shown);
    if (!shown.isEmpty() && info.absoluteDir().exists())
        return info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    return QDir::homePath();
}

} // namespace

void TMailWizardForm::ConnectFileControls() {
    // These handlers catch what can fail themselves: a file dialog, a list and a table's field names.
    connect(ui->btnAddAttachment, &QPushButton::clicked, this, [this] { btnAddAttachmentClick(ui->btnAddAttachment); });
    connect(ui->btnRemoveAttachment, &QPushButton::clicked, this,
            [this] { btnRemoveAttachmentClick(ui->btnRemoveAttachment); });
    connect(ui->btnBrowseHtml, &QPushButton::clicked, this, [this] { btnBrowseHtmlClick(ui->btnBrowseHtml); });
    connect(ui->btnBrowseAttachmentFolder, &QPushButton::clicked, this,
            [this] { btnBrowseAttachmentFolderClick(ui->btnBrowseAttachmentFolder); });
    ui->cmbAttachmentField->OnDropDown = [this](QObject* sender) { cmbAttachmentFieldDropDown(sender); };
    for (QLineEdit* edit : {ui->edtHtmlFile, ui->edtAttachmentFolder})
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { SettingsChange(edit); });
    connect(ui->cmbAttachmentField, &QComboBox::editTextChanged, this,
            [this] { SettingsChange(ui->cmbAttachmentField); });
    // Remove acts on a selection: without one it has nothing to do.
    connect(ui->lstAttachments, &QListWidget::itemSelectionChanged, this,
            [this] { ui->btnRemoveAttachment->setEnabled(!ui->lstAttachments->selectedItems().isEmpty()); });
    ui->btnRemoveAttachment->setEnabled(false);
}

void TMailWizardForm::btnAddAttachmentClick(QObject* /*Sender*/) {
    QFileDialog dialog(this, QStringLiteral("Add attachments"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QListWidgetItem* last = ui->lstAttachments->item(ui->lstAttachments->count() - 1);
    dialog.setDirectory(StartFolder(last ? last->text() : QString()));
    if (dialog.exec() == QDialog::Accepted)
        AddAttachments(dialog.selectedFiles());
}

void TMailWizardForm::AddAttachments(const QStringList& paths) {
    bool added = false;
    for (const QString& chosen : paths) {
        const QString path = QDir::toNativeSeparators(chosen);
        // The settings keep the list as paths separated by ";": a name holding one would split in two.
        if (path.isEmpty() || path.contains(QLatin1Char(';')))
            continue;
        if (!ui->lstAttachments->findItems(path, Qt::MatchExactly).isEmpty())
            continue;
        AddAttachmentItem(path);
        added = true;
    }
    if (added)
        SettingsChange(ui->lstAttachments);
}

void TMailWizardForm::AddAttachmentItem(const QString& path) {
    // A long path is cut in its middle in the list: the tip shows it whole.
    auto* item = new QListWidgetItem(path, ui->lstAttachments);
    item->setToolTip(path);
}

void TMailWizardForm::btnRemoveAttachmentClick(QObject* /*Sender*/) {
    const QList<QListWidgetItem*> selected = ui->lstAttachments->selectedItems();
    if (selected.isEmpty())
        return;
    for (QListWidgetItem* item : selected)
        delete ui->lstAttachments->takeItem(ui->lstAttachments->row(item));
    SettingsChange(ui->lstAttachments);
}

QString TMailWizardForm::AttachmentsSetting() const {
    QStringList paths;
    for (int i = 0; i < ui->lstAttachments->count(); ++i)
        paths << ui->lstAttachments->item(i)->text();
    return paths.join(QLatin1Char(';'));
}

void TMailWizardForm::SetAttachmentsSetting(const QString& paths) {
    ui->lstAttachments->clear();
    for (const QString& path : paths.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!path.trimmed().isEmpty())
            AddAttachmentItem(path.trimmed());
}

void TMailWizardForm::btnBrowseHtmlClick(QObject* /*Sender*/) {
    QFileDialog dialog(this, QStringLiteral("HTML version"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters({QStringLiteral("HTML Files (*.html *.htm *.HTML *.HTM)"), QStringLiteral("All Files (*)")});
    dialog.setDirectory(StartFolder(ui->edtHtmlFile->text()));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->edtHtmlFile->setText(QDir::toNativeSeparators(dialog.selectedFiles().first()));
}

void TMailWizardForm::btnBrowseAttachmentFolderClick(QObject* /*Sender*/) {
    QFileDialog dialog(this, QStringLiteral("Attachment folder"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    // The records' files usually lie beside the table.
    const QString shown = ui->edtAttachmentFolder->text();
    dialog.setDirectory(StartFolder(shown.isEmpty() ? ui->edtTable->text() : shown));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->edtAttachmentFolder->setText(QDir::toNativeSeparators(dialog.selectedFiles().first()));
}

void TMailWizardForm::cmbAttachmentFieldDropDown(QObject* /*Sender*/) {
    QComboBox* combo = ui->cmbAttachmentField;
    if (tblRecipients->TableName().empty() || combo->count() != 0)
        return;
    std::vector<std::string> names;
    {
        THourglass busy;
        names = TableFieldNames();
    }
    if (names.empty())
        return;
    const QString text = combo->currentText();
    const QSignalBlocker quiet(combo);
    // The empty first entry chooses no field: no record has files of its own.
    combo->addItem(QString());
    for (const std::string& name : names)
        combo->addItem(Text::FromLatin1(name));
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
}
