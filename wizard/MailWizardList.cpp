// Bulk-mail settings of the window: the list dialog, its check, and hard bounces offered for the suppression list.
#include "wizard/MailWizard.h"

#include "framework/widgets/MessageDlg.h"
#include "mailing/SuppressionList.h"
#include "wizard/ListDialog.h"
#include "ui_ListDialog.h"
#include "ui_MailWizard.h"

namespace {

// More addresses than this are counted, not listed, in the question: the box must fit on the screen.
constexpr size_t ListedBounces = 30;

} // namespace

void TMailWizardForm::btnListClick(QObject* /*Sender*/) {
    if (ListDlg->Edit())
        SettingsChange(ui->btnList);
}

bool TMailWizardForm::CheckList() {
    return Passed(FCheck->List());
}

void TMailWizardForm::ShowHardBounces(std::vector<std::string> addresses) {
    FHardBounces = std::move(addresses);
    ui->btnAddBounces->setEnabled(!FHardBounces.empty());
}

void TMailWizardForm::btnAddBouncesClick(QObject* /*Sender*/) {
    if (FHardBounces.empty())
        return;
    const QString path = ListDlg->Controls().edtSuppressionList->text().trimmed();
    if (path.isEmpty()) {
        MessageDlg::Warning(this, QStringLiteral("No suppression list is set: choose its file under List... on the "
                                                 "server page first (Browse... makes a new one)."));
        return;
    }
    QString text = QStringLiteral("The servers said these mailboxes do not exist:\r\n\r\n");
    for (size_t i = 0; i < FHardBounces.size() && i < ListedBounces; ++i)
        text += QString::fromStdString(FHardBounces[i]) + QStringLiteral("\r\n");
    if (FHardBounces.size() > ListedBounces)
        text += QStringLiteral("... and %1 more\r\n").arg(FHardBounces.size() - ListedBounces);
    text += QStringLiteral("\r\nAdd %1 addresses to the suppression list %2, so that no later mailing goes to them?")
                .arg(FHardBounces.size())
                .arg(path);
    if (MessageDlg::Confirm(this, text) != TConfirmAnswer::Yes)
        return;
    try {
        const int added = TSuppressionList::AppendTo(path, FHardBounces);
        RunLine(QStringLiteral("%1 addresses added to the suppression list.").arg(added));
        PaintFrame();
        ShowHardBounces({});
    } catch (const ESuppressionListError& error) {
        MessageDlg::Warning(this, QString::fromStdString(error.what()));
    }
}
