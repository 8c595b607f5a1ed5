// The check before a run.
#include "app/MailWizard.h"

// TODO(#4): the ordered check of every setting, the recipient table and the error log.
bool TMailWizardForm::CheckSettings()
{
    ShowErrorMessage(QStringLiteral("The check before a run is not available in this build yet."));
    return false;
}
