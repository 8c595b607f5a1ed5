// The mailing run as the window shows it: it plans the run with the ledger, drives a TMailingRun and paints
// what the run reports on page 5.
#include "wizard/MailWizard.h"

#include "mailing/MailingCheck.h"

#include "wizard/WizardCaptions.h"
#include "framework/core/Application.h"
#include "framework/widgets/Hourglass.h"
#include "framework/widgets/MessageDlg.h"
#include "framework/core/Text.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <algorithm>

namespace {

// Page 5 changes no more often than this: ten times a second is as fast as anyone reads a count, and every
// changed text is also an event to a listening screen reader, which at the display's rate slowed the run.
constexpr qint64 FrameMilliseconds = 100;

} // namespace

TMailingRunSettings TMailWizardForm::MessageSettings() const {
    return FCheck->RunSettings();
}

bool TMailWizardForm::PlanRun() {
    TMailingRunSettings settings = MessageSettings();
    settings.RetryDelays = RetryDelays;
    settings.Run = FSelection.Run;
    settings.Take = FSelection.Take(FSendAgain);
    settings.EarlierAttempts = FSelection.EarlierAttempts;
    if (!FSendAgain)
        settings.AlreadySent = FSelection.AlreadySent;
    FRunSettings = std::move(settings);
    return true;
}

void TMailWizardForm::MailIt() {
    StartRun();
    FRun = std::make_unique<TMailingRun>(*SmtpClient, *tblRecipients, *tblLog, *Ledger, *this, FRunSettings);
    if (CloseRequested)
        FRun->Interrupt();
    FRun->Execute();
    const bool connected = FRun->Connected();
    ShowHardBounces(FRun->HardBounces());
    FRun.reset();
    if (PasswordRefused(*SmtpClient))
        RunLine(PasswordRefusedText);
    else if (!SignInRefused() && connected) // a refused sign-in: the run's own line told the provider's words
        PasswordAccepted();
    EndRun();
}

void TMailWizardForm::StartRun() {
    ui->btnBack->setEnabled(false);
    ui->btnNext->setEnabled(false);
    ui->btnCancel->setText(WizardCaptions::Stop);
    ui->btnCancel->setProperty(WizardCaptions::CancelRole, true);
    StopRequested = false;
    ShowHardBounces({});
    ui->memLog->clear();
    if (FRunPassedOver > 0)
        ui->memLog->appendPlainText(
            QStringLiteral("%1 recipients who already got this message are passed over.").arg(FRunPassedOver));
    // The bar shows the share of the scope, so it works for any number of records.
    ui->prbProgress->setRange(0, 100);
    ui->prbProgress->setValue(0);
    FPercent = -1;
    FShownPercent = -1;
    FShownLines.clear();
    FShownStatus = ui->edtStatus->text();
    FShownRecipient = ui->edtCurrentRecipient->text();
    FShownEnd = QDateTime();
    FShownCounts = TRunCounts();
    FShownConnections.clear();
    ui->lblExpectedEnd->clear();
    ui->lblConnections->clear();
    FFrame.invalidate();
}

void TMailWizardForm::EndRun() {
    FState = TWizardState::Completed;
    ui->lblTitle->setText(QStringLiteral("Completed"));
    ui->btnCancel->setProperty(WizardCaptions::CancelRole, false);
    ui->btnCancel->setText(WizardCaptions::Close);
    ui->btnBack->setEnabled(true);

    Application::SetTitle(AppTitle);
    setWindowTitle(Application::Title());
    // The expected end has come: the page says when the run ended, not when it would.
    FShownEnd = QDateTime();
    PaintFrame();
    ui->lblExpectedEnd->setText(
        QStringLiteral("Ended %1").arg(QTime::currentTime().toString(QStringLiteral("HH:mm"))));
    ui->pnlPage5->repaint();
}

void TMailWizardForm::ReportFrame() {
    if (!FFrame.isValid() || FFrame.elapsed() >= FrameMilliseconds)
        PaintFrame();
    else if (!FFrameTimer.isActive())
        FFrameTimer.start(static_cast<int>(FrameMilliseconds - FFrame.elapsed()));
}

void TMailWizardForm::PaintFrame() {
    FFrameTimer.stop();
    FFrame.start();
    // The texts are laid out once a frame, not once a record; only a changed field asks to be painted again.
    const auto show = [](auto* control, const QString& text) {
        if (control->text() != text)
            control->setText(text);
    };
    if (FShownPercent >= 0 && FShownPercent != ui->prbProgress->value()) {
        // The bar repaints itself at once on a new value; held back, it joins the page's one paint of the frame.
        ui->prbProgress->setUpdatesEnabled(false);
        ui->prbProgress->setValue(FShownPercent);
        ui->prbProgress->setUpdatesEnabled(true);
    }
    if (!FShownLines.isEmpty()) {
        for (const QString& line : std::as_const(FShownLines))
            ui->memLog->appendPlainText(line);
        FShownLines.clear();
    }
    show(ui->edtStatus, FShownStatus);
    show(ui->edtCurrentRecipient, FShownRecipient);
    show(ui->edtSentCount, QString::number(FShownCounts[TDeliveryStatus::Sent]));
    show(ui->edtErrorCount, QString::number(FShownCounts.Errors));
    show(ui->lblRunCounts, QStringLiteral("Refused %1, deferred %2, unknown %3, skipped %4")
                               .arg(FShownCounts[TDeliveryStatus::Refused])
                               .arg(FShownCounts[TDeliveryStatus::Deferred])
                               .arg(FShownCounts[TDeliveryStatus::Unknown])
                               .arg(FShownCounts[TDeliveryStatus::Skipped]));
    show(ui->lblConnections, FShownConnections);
    if (FShownEnd.isValid()) {
        const QString format =
            FShownEnd.date() == QDate::currentDate() ? QStringLiteral("HH:mm") : QStringLiteral("d MMM HH:mm");
        show(ui->lblExpectedEnd, QStringLiteral("Ends about %1").arg(FShownEnd.toString(format)));
    }
}

void TMailWizardForm::RunStatus(const QString& status) {
    // The busy cursor while a connection is made, as long as the run waits for it.
    if (status == QStringLiteral("Connecting"))
        FBusyCursor = std::make_unique<THourglass>();
    else
        FBusyCursor.reset();
    FShownStatus = status;
    // A step of another kind (connecting, a pause, the end) shows at once; one record's "Sending mail #n" after
    // the other waits for the frame.
    const QString sending = QStringLiteral("Sending mail #");
    if (!status.startsWith(sending) || !ui->edtStatus->text().startsWith(sending))
        ui->edtStatus->setText(status);
    emit RunStatusReported(status);
    ReportFrame();
}

void TMailWizardForm::RunRecipient(const QString& recipient) {
    FShownRecipient = recipient;
    ReportFrame();
}

void TMailWizardForm::RunProgress(int /*position*/, int percent) {
    // The title is no part of the page: it changes with every percent, as the taskbar shows it.
    if (percent != FPercent) {
        FPercent = percent;
        Application::SetTitle(QStringLiteral("Sending %1%").arg(percent));
        setWindowTitle(Application::Title());
    }
    FShownPercent = percent;
    ReportFrame();
}

void TMailWizardForm::RunCounts(const TRunCounts& counts) {
    FShownCounts = counts;
    ReportFrame();
}

void TMailWizardForm::RunExpectedEnd(const QDateTime& end) {
    FShownEnd = end;
    ReportFrame();
}

void TMailWizardForm::RunConnections(int open, int wanted) {
    // A run on one connection shows nothing here, as before there was a choice.
    FShownConnections = wanted > 1 ? QStringLiteral("Connections: %1 of %2").arg(open).arg(wanted) : QString();
    ReportFrame();
}

void TMailWizardForm::RunLine(const QString& line) {
    FShownLines.append(line);
    ReportFrame();
}

void TMailWizardForm::RunAborted() {
    ui->lblTitle->setText(QStringLiteral("Aborted"));
}

bool TMailWizardForm::RunConfirmStop() {
    // Closing the window with Yes to its question ends the run without a further question.
    if (CloseRequested)
        return true;
    PaintFrame();
    const QString question = QStringLiteral("Sure to abort mailing in progress?\r\nYes = Stop now! No = Continue!");
    const bool stop = MessageDlg::Confirm(this, question) == TConfirmAnswer::Yes || CloseRequested;
    StopRequested = false;
    return stop;
}

void TMailWizardForm::SmtpClientDisplay(QObject* /*Sender*/, const std::string& Msg) {
    ui->memLog->appendPlainText(QString::fromStdString(Msg));
}
