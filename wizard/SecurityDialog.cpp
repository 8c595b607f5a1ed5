// The security dialog: its values, the standard port shown while the port is empty, and the test.
#include "wizard/SecurityDialog.h"

#include "framework/widgets/Hourglass.h"
#include "mailing/MailingJob.h"
#include "ui_SecurityDialog.h"

#include <QFileDialog>

TSecurityDialog::TSecurityDialog(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::SecurityDialog>()) {
    ui->setupUi(this);
    connect(ui->cmbSecurity, &QComboBox::currentIndexChanged, this, [this] { cmbSecurityChange(); });
    connect(ui->btnTest, &QPushButton::clicked, this, [this] { btnTestClick(); });
    connect(ui->btnCertificate, &QPushButton::clicked, this, [this] { btnCertificateClick(); });
    connect(ui->btnSecurityOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnSecurityCancel, &QPushButton::clicked, this, &QDialog::reject);
    cmbSecurityChange();
}

TSecurityDialog::~TSecurityDialog() = default;

QString TSecurityDialog::Port() const {
    return ui->edtPort->text().trimmed();
}

TSmtpSecurity TSecurityDialog::Security() const {
    return TMailingJob::SecurityFromIndex(ui->cmbSecurity->currentIndex());
}

QString TSecurityDialog::UserName() const {
    return ui->edtUserName->text().trimmed();
}

QString TSecurityDialog::Password() const {
    return ui->edtPassword->text();
}

void TSecurityDialog::SetPassword(const QString& password) {
    ui->edtPassword->setText(password);
}

bool TSecurityDialog::RememberPassword() const {
    return ui->chbRememberPassword->isChecked();
}

bool TSecurityDialog::AllowClearPassword() const {
    return ui->chbAllowClearPassword->isChecked();
}

QString TSecurityDialog::Certificate() const {
    return ui->edtCertificate->text().trimmed();
}

bool TSecurityDialog::Edit() {
    const QString port = ui->edtPort->text();
    const int security = ui->cmbSecurity->currentIndex();
    const QString user = ui->edtUserName->text();
    const QString password = ui->edtPassword->text();
    const bool remember = ui->chbRememberPassword->isChecked();
    const bool allowClear = ui->chbAllowClearPassword->isChecked();
    const QString certificate = ui->edtCertificate->text();
    ui->lblTestResult->clear();
    ui->edtPort->setFocus();
    if (exec() == QDialog::Accepted)
        return true;
    ui->edtPort->setText(port);
    ui->cmbSecurity->setCurrentIndex(security);
    ui->edtUserName->setText(user);
    ui->edtPassword->setText(password);
    ui->chbRememberPassword->setChecked(remember);
    ui->chbAllowClearPassword->setChecked(allowClear);
    ui->edtCertificate->setText(certificate);
    return false;
}

void TSecurityDialog::cmbSecurityChange() {
    ui->edtPort->setPlaceholderText(QStringLiteral("%1 (standard)").arg(TMailingJob::StandardPort(Security())));
}

void TSecurityDialog::btnTestClick() {
    if (!OnTest)
        return;
    ui->lblTestResult->setText(QStringLiteral("Testing..."));
    ui->lblTestResult->repaint();
    THourglass busy;
    ui->lblTestResult->setText(OnTest(this));
}

void TSecurityDialog::btnCertificateClick() {
    QFileDialog dialog(this, QStringLiteral("Trusted certificate"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Certificates (*.pem *.crt *.cer)"), QStringLiteral("All Files (*)")});
    if (!Certificate().isEmpty())
        dialog.selectFile(Certificate());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        ui->edtCertificate->setText(QDir::toNativeSeparators(dialog.selectedFiles().first()));
}
