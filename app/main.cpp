// Program start: the application title, the wizard window, the message loop.
#include "app/MailWizard.h"
#include "framework/Application.h"
#include "framework/ProgramIcon.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvel Software Systems"));
    QApplication::setApplicationName(QStringLiteral("QuorvelMailer"));
    QApplication::setWindowIcon(ProgramIcon::Icon());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));
    TMailWizardForm form;
    form.show();
    return QApplication::exec();
}
