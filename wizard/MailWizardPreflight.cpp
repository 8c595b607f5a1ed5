// The pre-flight summary between a passed check and "Start!": what the run will do, confirmed by the user.
#include "wizard/MailWizard.h"

#include "mailing/MailingCheck.h"

#include "wizard/PreflightDialog.h"
#include "mailing/PreflightSummary.h"
#include "framework/core/Text.h"
#include "table/CodePage.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <QCursor>
#include <QGuiApplication>
#include <optional>

TPreflightMailing TMailWizardForm::PreflightMailing() const {
    TPreflightMailing mailing = FCheck->PreflightMailing(tblRecipients->TableName());
    mailing.Take = FSelection.Take(true);
    mailing.AlreadySent = FSelection.AlreadySent;
    return mailing;
}

TPreflightAnswer TMailWizardForm::AskPreflight() {
    std::optional<TPreflightSummary> summary;
    try {
        FSelection = FCheck->Selection(*Ledger);
        summary.emplace(PreflightMailing());
    } catch (const std::exception& error) {
        ShowErrorMessage(QStringLiteral("Can't read recipient table:\r\n") + RecipientTablePath() +
                         QStringLiteral("\r\n") + QString::fromLocal8Bit(error.what()));
    }
    TPreflightAnswer answer = TPreflightAnswer::Failed;
    if (summary) {
        TPreflightDialog dialog(*summary, this);
        // The check runs under the hourglass; the user reads and decides under the ordinary pointer.
        QGuiApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
        answer = dialog.exec() == QDialog::Accepted ? TPreflightAnswer::Continue : TPreflightAnswer::Back;
        QGuiApplication::restoreOverrideCursor();
        FSendAgain = dialog.SendAgain();
        FRunPassedOver = FSendAgain ? 0 : summary->AlreadySent();
    }
    if (answer != TPreflightAnswer::Continue) {
        // Not going on: the tables the check opened are closed again, as after a failed check.
        CloseRecipients();
        FCheck->ReleaseLock();
        if (tblLog) {
            try {
                tblLog->Close();
            } catch (const std::exception&) {
            }
            tblLog.reset();
        }
    }
    return answer;
}
