// The preview window opened from page 4: the check of what the message needs, then the scope's messages one at
// a time, built by the run's own code without a server; a test message goes to the sender on request.
#include "wizard/MailWizard.h"

#include "mailing/MailingRun.h"
#include "wizard/PreviewDialog.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <algorithm>

void TMailWizardForm::btnPreviewClick(QObject* /*Sender*/) {
    // A table path typed and confirmed with Enter never left its edit: take it before checking.
    edtTableExit(ui->edtTable);
    // The server is not needed to look at a message: it is checked when a test goes out.
    if (!CheckMessage() || !CheckSender() || !CheckRecipients())
        return;
    const TMailingRunSettings settings = MessageSettings();
    // Steps go from the record shown last, so paging through a long table never reads it from the top again.
    int position = 0; // the scope position of the current record; 0 before the first move
    const auto moveTo = [this, &position](int wanted) {
        if (position == 0) {
            tblRecipients->First();
            position = 1;
        }
        position += tblRecipients->MoveBy(wanted - position);
    };
    // The preview names records by the table's own numbers, as the ledger and every dBase tool do. Deleted
    // records leave gaps: a jump by the gap in numbers never falls short of a record but may pass it by the
    // deleted ones between, which are taken back one step at a time.
    const int first = settings.Minimum + 1;
    moveTo(first);
    const int firstRecNo = tblRecipients->RecNo();
    const auto moveToRecNo = [&](int& recNo) {
        if (tblRecipients->RecNo() < recNo) {
            moveTo(std::min(position + (recNo - tblRecipients->RecNo()), settings.Maximum));
            while (tblRecipients->RecNo() > recNo && position > first) {
                moveTo(position - 1);
                if (tblRecipients->RecNo() < recNo) {
                    moveTo(position + 1);
                    break;
                }
            }
        } else if (tblRecipients->RecNo() > recNo) {
            moveTo(std::max(position - (tblRecipients->RecNo() - recNo), first));
            while (tblRecipients->RecNo() < recNo && position < settings.Maximum) {
                moveTo(position + 1);
                if (tblRecipients->RecNo() > recNo) {
                    moveTo(position - 1);
                    break;
                }
            }
        }
        recNo = tblRecipients->RecNo();
    };
    TPreviewDialog preview(
        // The scope's last number is found when a step passes it; the file's last record bounds it.
        firstRecNo, std::max(firstRecNo, tblRecipients->FileRecordCount()), settings.WrapColumn,
        [&](int& recNo, std::string& problem) {
            moveToRecNo(recNo);
            return TMailingRun::PreviewLines(*SmtpClient, *tblRecipients, settings, problem);
        },
        this);
    preview.SetTestSender([&](int recNo) {
        moveToRecNo(recNo);
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
    SignInRefused();
    if (line.startsWith(QStringLiteral("Test message sent")))
        PasswordAccepted();
    return line;
}
