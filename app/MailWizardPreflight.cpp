// The pre-flight summary between a passed check and "Start!": what the run will do, confirmed by the user.
#include "app/MailWizard.h"

#include "app/PreflightDialog.h"
#include "app/PreflightSummary.h"
#include "framework/Text.h"
#include "table/CodePage.h"
#include "table/Table.h"
#include "ui_MailWizard.h"

#include <QCursor>
#include <QGuiApplication>
#include <optional>

TPreflightMailing TMailWizardForm::PreflightMailing() const {
    TPreflightMailing mailing;
    mailing.TablePath = tblRecipients->TableName();
    // The check chose the code page and read every record of the scope in it.
    if (FCodePage)
        mailing.CodePage = FCodePage->Name();
    mailing.NameField = Text::ToLatin1(ui->cmbName->currentText());
    mailing.OrganizationField = Text::ToLatin1(ui->cmbOrganization->currentText());
    mailing.EmailField = Text::ToLatin1(ui->cmbEmail->currentText());
    mailing.DearField = Text::ToLatin1(ui->cmbDear->currentText());
    if (ui->chbLimit->isChecked()) {
        mailing.ScopeFrom = FScopeFrom;
        mailing.ScopeTo = FScopeTo;
    }
    mailing.Subject = Text::Trim(ui->edtSubject->text()).toStdString();
    mailing.Body = MessageBody();
    mailing.WrapColumn = ui->edtWrapLines->text().toInt();
    return mailing;
}

TPreflightAnswer TMailWizardForm::AskPreflight() {
    std::optional<TPreflightSummary> summary;
    try {
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
    }
    if (answer != TPreflightAnswer::Continue) {
        // Not going on: the tables the check opened are closed again, as after a failed check.
        CloseRecipients();
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
