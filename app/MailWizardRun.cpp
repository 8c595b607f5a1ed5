// The mailing run: one message per record of the scope, progress on page 5, failures into the error log.
#include "app/MailWizard.h"

#include "framework/MessageDlg.h"
#include "ui_MailWizard.h"

// Sending arrives with the mailing run; until then the ready page says so and nothing pretends to be sent.
void TMailWizardForm::MailIt() {
    MessageDlg::Warning(this, QStringLiteral("Sending mail is not available in this build yet."));
    PageNo = 5;
    ui->lblTitle->setText(QStringLiteral("Ready to send mail"));
}

bool TMailWizardForm::Connect() {
    return false;
}

void TMailWizardForm::ReportStatus() {}

void TMailWizardForm::SmtpClientDisplay(QObject* /*Sender*/, const std::string& Msg) {
    ui->memLog->appendPlainText(QString::fromLatin1(Msg.data(), static_cast<qsizetype>(Msg.size())));
}
