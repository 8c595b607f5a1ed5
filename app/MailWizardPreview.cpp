// The preview window opened from page 4: the same check as Next, then the scope's messages one at a time,
// built by the run's own code without a server.
#include "app/MailWizard.h"

#include "app/MailingRun.h"
#include "app/PreviewDialog.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

void TMailWizardForm::btnPreviewClick(QObject* /*Sender*/) {
    // A table path typed and confirmed with Enter never left its edit: take it before checking.
    edtTableExit(ui->edtTable);
    if (!CheckSettings())
        return;
    const TMailingRunSettings settings = MessageSettings();
    TPreviewDialog preview(
        settings.Minimum + 1, settings.Maximum, settings.WrapColumn,
        [this, &settings](int recNo, std::string& problem) {
            tblRecipients->First();
            tblRecipients->MoveBy(recNo - 1);
            return TMailingRun::PreviewLines(*SmtpClient, *tblRecipients, settings, problem);
        },
        this);
    preview.exec();
    // The check opened the tables for a run; Next opens them again.
    LeaveReadyPage();
    ui->btnPreview->setFocus();
}
