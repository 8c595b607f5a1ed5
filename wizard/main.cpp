// Program start: the command-line answers, the application title, the wizard window, the message loop.
#include "wizard/MailWizard.h"
#include "framework/core/Application.h"
#include "framework/widgets/ProgramIcon.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

namespace {

// --help and --version are answered before any window system is opened, so they work without a display.
bool AnsweredOnCommandLine(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quorvel-mailer %s\n", qPrintable(Application::Version()));
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: quorvel-mailer [--help] [--version] [Qt options]\n"
                        "Sends one personalised plain-text mail per record of a dBase/FoxPro table.\n"
                        "The wizard window leads through the message, the mail server and the recipient table;\n"
                        "failures are written to the table mail_log.dbf.\n\n"
                        "  -h, --help     show this help and exit\n"
                        "      --version  show the version and exit\n\n"
                        "Qt's own options (such as -platform offscreen) are understood as well.\n"
                        "See quorvel-mailer(1) and quorvel-dbf(1).\n");
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    if (AnsweredOnCommandLine(argc, argv))
        return 0;
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quorvel Software Systems"));
    QApplication::setApplicationName(QStringLiteral("QuorvelMailer"));
    // Ties the window to quorvel-mailer.desktop, for its name and icon in the desktop's task list.
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvel-mailer"));
    QApplication::setWindowIcon(ProgramIcon::Icon());
    Application::SetTitle(QStringLiteral("Quorvel Mailer ") + Application::Version());
    TMailWizardForm form;
    form.show();
    return QApplication::exec();
}
