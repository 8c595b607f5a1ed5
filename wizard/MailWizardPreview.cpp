// The preview window opened from page 4: the check of what the message needs, then the scope's messages one at
// a time, built by the run's own code without a server; a test message goes to the sender on request.
#include "wizard/MailWizard.h"

#include "mailing/MailingRun.h"
#include "wizard/PreviewDialog.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

void TMailWizardForm::btnPreviewClick(QObject* /*Sender*/) {
    // A table path typed and confirmed with Enter never left its edit: take it before checking.
    edtTableExit(ui->edtTable);
    // The server is not needed to look at a message: it is checked when a test goes out.
    if (!CheckMessage() || !CheckSender() || !CheckRecipients())
        return;
    const TMailingRunSettings settings = MessageSettings();
    // Steps go from the record shown last, so paging through a long table never reads it from the top again.
    int position = 0; // the scope position of the current record; 0 before the first move
    const auto moveTo = [this, &position](int recNo) {
        if (position == 0) {
            tblRecipients->First();
            position = 1;
        }
        position += tblRecipients->MoveBy(recNo - position);
    };
    TPreviewDialog preview(
        settings.Minimum + 1, settings.Maximum, settings.WrapColumn,
        [&](int recNo, std::string& problem) {
            moveTo(recNo);
            return TMailingRun::PreviewLines(*SmtpClient, *tblRecipients, settings, problem);
        },
        this);
    preview.SetTestSender([&](int recNo) {
        moveTo(recNo);
        return SendTestMessage(settings);
    });
    preview.exec();
    // The check opened the table for a run; Next opens it again.
    LeaveReadyPage();
    ui->btnPreview->setFocus();
}

QString TMailWizardForm::SendTestMessage(const TMailingRunSettings& settings) {
    if (!CheckServer())
        return {};
    if (!AskPassword())
        return QStringLiteral("Test message not sent: no password given.");
    const QString folder = LogTablesFolder();
    try {
        Ledger->Open(*XbaseEngine, folder);
    } catch (const std::exception&) {
        return QStringLiteral("Test message not sent: can't create delivery ledger table: ") + folder +
               TDeliveryLedger::FileName;
    }
    QString line;
    try {
        line = TMailingRun::SendTest(*SmtpClient, *tblRecipients, settings, *Ledger);
    } catch (...) {
        Ledger->Close();
        throw;
    }
    Ledger->Close();
    if (PasswordRefused(*SmtpClient))
        return QStringLiteral("Test message not sent: ") + PasswordRefusedText;
    if (line.startsWith(QStringLiteral("Test message sent")))
        PasswordAccepted();
    return line;
}
