// The list dialog: its values, the file choosers and the DNS record of the DKIM key.
#include "wizard/ListDialog.h"

#include "framework/widgets/MessageDlg.h"
#include "mailing/MailingCheck.h"
#include "mailing/MailingJob.h"
#include "smtp/DkimError.h"
#include "ui_ListDialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>

TListDialog::TListDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::ListDialog>()) {
    ui->setupUi(this);
    ui->memDnsRecord->setPlaceholderText(QStringLiteral("Show DNS record prints the TXT record to publish here."));
    connect(ui->btnDnsRecord, &QPushButton::clicked, this, [this] { btnDnsRecordClick(); });
    connect(ui->btnSuppressionList, &QPushButton::clicked, this, [this] {
        BrowseFile(QStringLiteral("Suppression list"),
                   {QStringLiteral("Address lists (*.txt *.csv *.dbf)"), QStringLiteral("All Files (*)")}, false,
                   ui->edtSuppressionList);
    });
    connect(ui->btnDkimKeyFile, &QPushButton::clicked, this, [this] {
        BrowseFile(QStringLiteral("DKIM private key"),
                   {QStringLiteral("Keys (*.pem *.key)"), QStringLiteral("All Files (*)")}, true, ui->edtDkimKeyFile);
    });
    connect(ui->btnListOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnListCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TListDialog::~TListDialog() = default;

void TListDialog::FillJob(TMailingJob& job) const {
    job.UnsubscribeUrl = ui->edtUnsubscribeURL->text();
    job.UnsubscribeAddress = ui->edtUnsubscribeAddress->text();
    job.ListId = ui->edtListID->text();
    job.ReplyTo = ui->edtReplyTo->text();
    job.SuppressionList = ui->edtSuppressionList->text();
    job.DkimDomain = ui->edtDkimDomain->text();
    job.DkimSelector = ui->edtDkimSelector->text();
    job.DkimKeyFile = ui->edtDkimKeyFile->text();
}

void TListDialog::ShowJob(const TMailingJob& job) {
    ui->edtUnsubscribeURL->setText(job.UnsubscribeUrl);
    ui->edtUnsubscribeAddress->setText(job.UnsubscribeAddress);
    ui->edtListID->setText(job.ListId);
    ui->edtReplyTo->setText(job.ReplyTo);
    ui->edtSuppressionList->setText(job.SuppressionList);
    ui->edtDkimDomain->setText(job.DkimDomain);
    ui->edtDkimSelector->setText(job.DkimSelector);
    ui->edtDkimKeyFile->setText(job.DkimKeyFile);
}

bool TListDialog::Edit() {
    TMailingJob before;
    FillJob(before);
    ui->memDnsRecord->clear();
    ui->edtUnsubscribeURL->setFocus();
    if (exec() == QDialog::Accepted)
        return true;
    ShowJob(before);
    return false;
}

QString TListDialog::DnsRecordText() const {
    TMailingJob job;
    FillJob(job);
    if (job.DkimDomain.trimmed().isEmpty() || job.DkimSelector.trimmed().isEmpty() ||
        job.DkimKeyFile.trimmed().isEmpty())
        return QStringLiteral("Enter the DKIM domain, selector and key file first.");
    try {
        return QStringLiteral("Publish this TXT record in the domain's DNS:\n") + TMailingCheck::DkimDnsRecord(job);
    } catch (const EDkimError& error) {
        return QString::fromStdString(error.Message());
    }
}

void TListDialog::btnDnsRecordClick() {
    ui->memDnsRecord->setPlainText(DnsRecordText());
}

void TListDialog::BrowseFile(const QString& caption, const QStringList& filters, bool existing, QLineEdit* line) {
    QFileDialog dialog(this, caption);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // A suppression list may not exist yet: hard bounces can start it.
    dialog.setFileMode(existing ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    if (!line->text().trimmed().isEmpty())
        dialog.selectFile(line->text().trimmed());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().first();
    // A new list starts empty: the check refuses a list it cannot read, so that a mistyped name never mails
    // everyone.
    if (!existing && !QFile::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            MessageDlg::Warning(this, QStringLiteral("Can't create the file:\r\n") + path);
    }
    line->setText(QDir::toNativeSeparators(path));
}
