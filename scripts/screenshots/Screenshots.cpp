// Takes the README's screenshots of the real wizard and About box: every page, filled with sample settings.
// Run it through scripts/screenshots/take, which starts it under a virtual X server.
#include "app/MailWizard.h"
#include "framework/Application.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

template <typename T> T* Control(QWidget& form, const char* name)
{
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (!control)
        std::fprintf(stderr, "no control %s\n", name);
    return control;
}

bool Save(QWidget& widget, const QString& folder, const char* name)
{
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    const bool saved = widget.grab().save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quorvel-screenshots <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // The shots must never read or change the user's own settings.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));

    TMailWizardForm form;
    form.show();
    bool ok = Save(form, folder, "page1-welcome.png");

    QPushButton* next = Control<QPushButton>(form, "btnNext");
    next->click();
    Control<QLineEdit>(form, "edtSubject")->setText(QStringLiteral("Our autumn catalogue"));
    Control<QPlainTextEdit>(form, "memMessage")
        ->setPlainText(QStringLiteral("Dear %D %N,\n\nthe new catalogue of %O is out. We send it to %E\n"
                                      "on request.\n\nKind regards,\nAnna Berg"));
    ok = Save(form, folder, "page2-message.png") && ok;

    next->click();
    Control<QLineEdit>(form, "edtSMTPServer")->setText(QStringLiteral("mail.example.org"));
    Control<QLineEdit>(form, "edtName")->setText(QStringLiteral("Anna Berg"));
    Control<QLineEdit>(form, "edtOrganization")->setText(QStringLiteral("Berg Books Ltd."));
    Control<QLineEdit>(form, "edtReturnAddress")->setText(QStringLiteral("anna@example.org"));
    Control<QCheckBox>(form, "chbClearLog")->setChecked(true);
    ok = Save(form, folder, "page3-server.png") && ok;

    next->click();
    Control<QLineEdit>(form, "edtTable")->setText(QStringLiteral("/home/anna/customers.dbf"));
    Control<QComboBox>(form, "cmbName")->setEditText(QStringLiteral("NAME"));
    Control<QComboBox>(form, "cmbOrganization")->setEditText(QStringLiteral("COMPANY"));
    Control<QComboBox>(form, "cmbEmail")->setEditText(QStringLiteral("EMAIL"));
    Control<QComboBox>(form, "cmbDear")->setEditText(QStringLiteral("SALUTE"));
    Control<QCheckBox>(form, "chbLimit")->setChecked(true);
    Control<QLineEdit>(form, "edtScopeTo")->setText(QStringLiteral("250"));
    ok = Save(form, folder, "page4-recipients.png") && ok;

    // The ready page as the run shows it (page 5 with its counters).
    QWidget* stack = Control<QWidget>(form, "stkPages");
    QWidget* page5 = Control<QWidget>(form, "pnlPage5");
    if (stack && page5) {
        QMetaObject::invokeMethod(stack, "setCurrentWidget", Q_ARG(QWidget*, page5));
        Control<QPlainTextEdit>(form, "memLog")->appendPlainText(QStringLiteral("550 No such user here"));
        ok = Save(form, folder, "page5-progress.png") && ok;
    }

    // The About box is modal: grab it once it is up, then close it.
    QTimer::singleShot(200, &app, [&] {
        if (QWidget* about = QApplication::activeModalWidget()) {
            ok = Save(*about, folder, "about.png") && ok;
            about->close();
        } else {
            ok = false;
        }
    });
    form.imgProgramIconClick(nullptr);
    form.SettingsChanged = false;
    form.close();
    return ok ? 0 : 1;
}
