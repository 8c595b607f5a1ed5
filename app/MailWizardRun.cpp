// The mailing run: one message per record of the scope, progress on page 5, failures into the error log.
#include "app/MailWizard.h"

#include "app/MessageText.h"
#include "app/WizardCaptions.h"
#include "framework/Application.h"
#include "framework/Hourglass.h"
#include "framework/MessageDlg.h"
#include "framework/Text.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <algorithm>
#include <exception>

namespace {

QString Latin1(const std::string& text) {
    return Text::FromLatin1(text);
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

void TMailWizardForm::MailIt() {
    StartRun();
    try {
        RunRecords();
    } catch (const std::exception& error) {
        // Whatever the client or the table raised ends the run, but through its normal end steps.
        ReportRunError(QString::fromLocal8Bit(error.what()));
    }
    EndRun();
}

void TMailWizardForm::StartRun() {
    ui->btnBack->setEnabled(false);
    ui->btnNext->setEnabled(false);
    ui->btnCancel->setText(WizardCaptions::Stop);
    ui->btnCancel->setProperty(WizardCaptions::CancelRole, true);
    StopRequested = false;
    CloseRequested = false;
    ui->memLog->clear();

    const int recordCount = tblRecipients->RecordCount();
    FRunMinimum = 0;
    FRunMaximum = recordCount;
    if (ui->chbLimit->isChecked()) {
        // The numbers the check read and found inside the table; the edits cannot change between check and run.
        FRunMinimum = FScopeFrom - 1;
        FRunMaximum = std::min(FScopeTo, recordCount);
    }
    FRunPosition = FRunMinimum;
    // The bar shows the share of the scope, so it works for any number of records.
    ui->prbProgress->setRange(0, 100);
    ui->prbProgress->setValue(0);

    // Both counts start afresh: a run that sends nothing must not show the previous run's figure.
    FErrorCount = 0;
    FSentCount = 0;
    ui->edtErrorCount->setText(QString::number(FErrorCount));
    ui->edtSentCount->setText(QString::number(FSentCount));
    ui->pnlPage5->repaint();

    if (!Text::Trim(ui->edtOrganization->text()).isEmpty())
        SmtpClient->OnHeaderLine = [this](TSmtpClient* sender, char* msg, int size) {
            SmtpClientHeaderLine(sender, msg, size);
        };
    else
        SmtpClient->OnHeaderLine = nullptr;

    // A failure still held by the client comes from an earlier run, which has reported it.
    FErrorReported = !SmtpClient->ErrorMessage().empty();
}

void TMailWizardForm::RunRecords() {
    while (!tblRecipients->Eof() && FRunPosition < FRunMaximum) {
        // Closing the window with Yes to its question ends the run here, without a further question.
        if (CloseRequested) {
            AbortRun(QStringLiteral("User aborted at position %1.").arg(FRunPosition));
            return;
        }
        if (StopRequested) {
            const QString question =
                QStringLiteral("Sure to abort mailing in progress?\r\nYes = Stop now! No = Continue!");
            if (MessageDlg::Confirm(this, question) == TConfirmAnswer::Yes) {
                AbortRun(QStringLiteral("User aborted at position %1.").arg(FRunPosition));
                return;
            }
            StopRequested = false;
        }

        if (SmtpClient->State() != smtpConnected && !Connect()) {
            if (CloseRequested || FStoppedConnecting) {
                // The user gave the attempt up by closing the window: the server has not failed.
                AbortRun(QStringLiteral("User aborted at position %1.").arg(FRunPosition));
                return;
            }
            if (SmtpClient->SecurityFailure()) {
                // Refused encryption or login: every further record would meet the same, and providers lock an
                // account after repeated refused logins. One row, in the server's words when it gave any.
                const std::string reply = SmtpClient->LastResponse();
                ui->lblTitle->setText(QStringLiteral("Aborted"));
                AppendErrorLog(reply.empty() ? SmtpClient->ErrorMessage() : reply);
                return;
            }
            AbortRun(QStringLiteral("Aborted: lost connection to SMTP server at position %1.").arg(FRunPosition));
            return;
        }

        ++FRunPosition;
        const int percent =
            static_cast<int>(static_cast<long long>(FRunPosition - FRunMinimum) * 100 / (FRunMaximum - FRunMinimum));
        ui->prbProgress->setValue(percent);
        Application::SetTitle(QStringLiteral("Sending %1%").arg(percent));
        setWindowTitle(Application::Title());

        SendCurrentRecord();

        Application::ProcessMessages();
        ui->pnlPage5->repaint();
        tblRecipients->Next();
    }
}

void TMailWizardForm::SendCurrentRecord() {
    const std::string address = Text::Trim(RecipientField(ui->cmbEmail));
    SmtpClient->SetHdrTo(address);
    if (address.empty())
        return; // nobody to write to: passed over without a message, an error or a log row

    SmtpClient->SetRcptName({address});
    const std::string name = Text::Trim(MappedField(ui->cmbName));
    if (!name.empty())
        SmtpClient->SetHdrTo(MessageText::Mailbox(name, address));
    ui->edtStatus->setText(QStringLiteral("Sending mail #%1").arg(FRunPosition));
    ui->edtCurrentRecipient->setText(FromUtf8(SmtpClient->HdrTo()));
    SmtpClient->SetHdrSubject(PersonalSubject());

    ReplaceVariables(MessageBody(), MsgText);
    MsgPos = 0;
    // Sent means the server took the message: Mail returned true after its reply to the final dot.
    if (SmtpClient->Mail()) {
        ++FSentCount;
        ui->edtSentCount->setText(QString::number(FSentCount));
    } else if (CloseRequested) {
        // The user dropped the connection by closing the window: that abort is the run's report, not an error.
        FErrorReported = true;
    } else {
        ReportStatus();
        SmtpClient->Quit(); // the next record opens a new connection
    }
}

void TMailWizardForm::AbortRun(const QString& text) {
    ui->lblTitle->setText(QStringLiteral("Aborted"));
    ui->memLog->appendPlainText(text);
    AppendErrorLog(text.toStdString());
}

void TMailWizardForm::ReportRunError(const QString& text) {
    ui->lblTitle->setText(QStringLiteral("Aborted"));
    AddErrorCount();
    ui->memLog->appendPlainText(text);
    try {
        AppendErrorLog(text.toStdString());
    } catch (const std::exception& error) {
        ui->memLog->appendPlainText(QString::fromLocal8Bit(error.what()));
    }
}

void TMailWizardForm::EndRun() {
    SmtpClient->Quit();
    try {
        ReportStatus();
    } catch (const std::exception& error) {
        ui->memLog->appendPlainText(QString::fromLocal8Bit(error.what()));
    }
    ui->edtStatus->setText(QStringLiteral("Disconnected"));
    ui->edtCurrentRecipient->clear();
    ui->memLog->appendPlainText(QStringLiteral("Connection closed"));
    ui->memLog->appendPlainText(QStringLiteral("%1 messages sent.").arg(FSentCount));

    PageNo = 5;
    ui->lblTitle->setText(QStringLiteral("Completed"));
    ui->btnCancel->setProperty(WizardCaptions::CancelRole, false);
    ui->btnCancel->setText(WizardCaptions::Close);
    ui->btnBack->setEnabled(true);

    Application::SetTitle(AppTitle);
    setWindowTitle(Application::Title());
}

bool TMailWizardForm::Connect() {
    THourglass hourglass;
    ui->edtStatus->setText(QStringLiteral("Connecting"));
    SmtpClient->SetTimeOut(ui->trbTimeout->value());
    SmtpClient->SetStatusTimeOut(false);
    FErrorReported = false;
    FStoppedConnecting = false;
    {
        struct TConnecting {
            bool& Flag;
            ~TConnecting() { Flag = false; }
        } connecting{FConnecting};
        FConnecting = true;
        SmtpClient->Open();
    }
    // Open waits for the connection itself: once it returned, the client is connected or never will be.
    Application::ProcessMessages();
    const bool connected = SmtpClient->State() == smtpConnected;
    ui->edtStatus->setText(connected ? QStringLiteral("Connected") : QStringLiteral("Not Connected"));
    // A connection dropped because the user closed the window or stopped the run is no failure of the server.
    if (CloseRequested || FStoppedConnecting)
        FErrorReported = true;
    if (SmtpClient->SecurityFailure() && !FErrorReported) {
        // Shown here in full; the run writes its one log row when it ends.
        FErrorReported = true;
        AddErrorCount();
        ui->memLog->appendPlainText(QString::fromUtf8(SmtpClient->ErrorMessage()));
    }
    // The failure belongs to the connection, not to a recipient: its text names the server and the reason.
    ReportError(QString());
    return connected;
}

void TMailWizardForm::ReportStatus() {
    ReportError(QStringLiteral("Error when sending mail to: ") + FromUtf8(SmtpClient->HdrTo()));
}

void TMailWizardForm::ReportError(const QString& heading) {
    if (SmtpClient->ErrorMessage().empty() || FErrorReported)
        return;
    FErrorReported = true;
    AddErrorCount();
    if (!heading.isEmpty())
        ui->memLog->appendPlainText(heading);
    // The server's words when it answered; otherwise the client's own account of what it saw (refused, timed
    // out, closed), never a made-up reply that looks like the server's.
    if (SmtpClient->LastReplyCode() != 0)
        ui->memLog->appendPlainText(QStringLiteral("Server says: ") + Latin1(SmtpClient->LastResponse()));
    else
        ui->memLog->appendPlainText(
            Latin1(SmtpClient->ErrorMessage()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    // The log keeps the reply code, the client's made-up ones included, for the tools that read it.
    const std::string reply = SmtpClient->LastResponse();
    if (!reply.empty())
        AppendErrorLog(reply);
}

void TMailWizardForm::AddErrorCount() {
    ++FErrorCount;
    ui->edtErrorCount->setText(QString::number(FErrorCount));
}

void TMailWizardForm::SmtpClientDisplay(QObject* /*Sender*/, const std::string& Msg) {
    ui->memLog->appendPlainText(FromUtf8(Msg));
}
