// Takes the README's screenshots of the real wizard and About box: every page, filled with sample settings.
// Run it through scripts/screenshots/take, which starts it under a virtual X server.
#include "wizard/MailWizard.h"
#include "wizard/ListDialog.h"
#include "wizard/SecurityDialog.h"
#include "framework/core/Application.h"
#include "smtp/SmtpClient.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "tests/servers/SmtpSink.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

template <typename T> T* Control(QWidget& form, const char* name) {
    T* control = form.findChild<T*>(QString::fromLatin1(name));
    if (!control)
        std::fprintf(stderr, "no control %s\n", name);
    return control;
}

bool Save(QWidget& widget, const QString& folder, const char* name) {
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    const bool saved = widget.grab().save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

// A small recipient table written through the program's own engine.
bool MakeSampleTable(TMailWizardForm& form, const QString& path) {
    TXbaseEngine& engine = *form.XbaseEngine;
    if (!engine.CreateNew(path.toStdString(), 2, 4))
        return false;
    engine.CreateField("NAME", "C", 30, 0);
    engine.CreateField("COMPANY", "C", 30, 0);
    engine.CreateField("EMAIL", "C", 40, 0);
    engine.CreateField("SALUTE", "C", 10, 0);
    if (!engine.CreateExec())
        return false;
    TTable table;
    table.SetTableName(path.toStdString());
    table.Open();
    // The last three give the pre-flight summary something to show: no address, a malformed and a repeated one.
    const char* rows[][4] = {{"Berg", "Berg Books Ltd.", "anna@example.org", "Ms"},
                             {"Huber", "Huber AG", "max@example.org", "Mr"},
                             {"Falk", "Falk & Sons", "", "Mr"},
                             {"Jung", "Jung GmbH", "ida jung@example.org", "Ms"},
                             {"Berg", "Berg Books Ltd.", "Anna@Example.org", "Ms"}};
    for (const auto& row : rows) {
        table.Append();
        table.FieldByName("NAME").SetValue(row[0]);
        table.FieldByName("COMPANY").SetValue(row[1]);
        table.FieldByName("EMAIL").SetValue(row[2]);
        table.FieldByName("SALUTE").SetValue(row[3]);
        table.Post();
    }
    table.Close();
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quorvel-screenshots <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // The shots must never read or change the user's own settings.
    QTemporaryDir settings(QDir::tempPath() + QStringLiteral("/qm-XXXXXX"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    Application::SetTitle(QStringLiteral("Quorvel Mailer 1.2"));

    TMailWizardForm form;
    form.LogFolder = settings.path();
    form.show();
    bool ok = Save(form, folder, "page1-welcome.png");

    QPushButton* next = Control<QPushButton>(form, "btnNext");
    next->click();
    Control<QLineEdit>(form, "edtSubject")->setText(QStringLiteral("Our autumn catalogue"));
    Control<QPlainTextEdit>(form, "memMessage")
        ->setPlainText(QStringLiteral("Dear %D %N,\n\nthe new catalogue of %O is out. We send it to %E\n"
                                      "on request.\n\nKind regards,\nAnna Berg"));
    ok = Save(form, folder, "page2-message.png") && ok;
    // The same page with a price list for everyone and an HTML version; taken away again for the run shown later.
    form.AddAttachments({QStringLiteral("/home/anna/Documents/price list 2026.pdf"),
                         QStringLiteral("/home/anna/Documents/terms.pdf")});
    Control<QLineEdit>(form, "edtHtmlFile")->setText(QStringLiteral("/home/anna/Documents/catalogue.html"));
    ok = Save(form, folder, "page2-attachments.png") && ok;
    form.SetAttachmentsSetting({});
    Control<QLineEdit>(form, "edtHtmlFile")->clear();

    next->click();
    Control<QLineEdit>(form, "edtSMTPServer")->setText(QStringLiteral("mail.example.org"));
    Control<QLineEdit>(form, "edtName")->setText(QStringLiteral("Anna Berg"));
    Control<QLineEdit>(form, "edtOrganization")->setText(QStringLiteral("Berg Books Ltd."));
    Control<QLineEdit>(form, "edtReturnAddress")->setText(QStringLiteral("anna@example.org"));
    Control<QCheckBox>(form, "chbClearLog")->setChecked(true);
    Control<QLineEdit>(form, "edtMaxPerMinute")->setText(QStringLiteral("30"));
    Control<QLineEdit>(form, "edtMaxPerHour")->setText(QStringLiteral("1000"));
    ok = Save(form, folder, "page3-server.png") && ok;

    // The Security dialog as a provider needs it: submission with STARTTLS and a login, after a passing test.
    if (form.SecurityDlg) {
        QDialog& security = *form.SecurityDlg;
        Control<QComboBox>(security, "cmbSecurity")->setCurrentIndex(1);
        Control<QLineEdit>(security, "edtUserName")->setText(QStringLiteral("anna@example.org"));
        Control<QLineEdit>(security, "edtPassword")->setText(QStringLiteral("not-the-real-one"));
        Control<QCheckBox>(security, "chbRememberPassword")->setChecked(true);
        Control<QLabel>(security, "lblTestResult")
            ->setText(QStringLiteral("The test worked: connected to mail.example.org:587, the connection is "
                                     "encrypted, the login was accepted."));
        security.show();
        ok = Save(security, folder, "security-dialog.png") && ok;
        // The same dialog for a Microsoft 365 mailbox: the OAuth login after a sign-in in the browser.
        Control<QComboBox>(security, "cmbLogin")->setCurrentIndex(1);
        Control<QComboBox>(security, "cmbProvider")->setCurrentIndex(0);
        Control<QLineEdit>(security, "edtPort")->setText(QStringLiteral("587"));
        Control<QLineEdit>(security, "edtClientId")->setText(QStringLiteral("3f9c1b2e-5a7d-4e61-9b0a-1c2d3e4f5a6b"));
        Control<QLabel>(security, "lblTestResult")->setText(QStringLiteral("Signed in as anna@example.org."));
        security.adjustSize();
        ok = Save(security, folder, "security-oauth.png") && ok;
        Control<QComboBox>(security, "cmbLogin")->setCurrentIndex(0);
        Control<QLineEdit>(security, "edtPort")->clear();
        security.hide();
        // The run below goes to a local sink without encryption or login.
        Control<QComboBox>(security, "cmbSecurity")->setCurrentIndex(0);
        Control<QLineEdit>(security, "edtUserName")->clear();
        Control<QLineEdit>(security, "edtPassword")->clear();
        Control<QCheckBox>(security, "chbRememberPassword")->setChecked(false);
    }

    // The List... dialog of a newsletter: the one-click unsubscribe link, the list's name and DKIM signing.
    if (form.ListDlg) {
        QDialog& list = *form.ListDlg;
        Control<QLineEdit>(list, "edtUnsubscribeURL")->setText(QStringLiteral("https://example.org/leave?e=%E"));
        Control<QLineEdit>(list, "edtUnsubscribeAddress")->setText(QStringLiteral("leave@example.org"));
        Control<QLineEdit>(list, "edtListID")->setText(QStringLiteral("Berg Books news <news.example.org>"));
        Control<QLineEdit>(list, "edtReplyTo")->setText(QStringLiteral("anna@example.org"));
        Control<QLineEdit>(list, "edtSuppressionList")->setText(QStringLiteral("/home/anna/mailing/left.txt"));
        Control<QLineEdit>(list, "edtDkimDomain")->setText(QStringLiteral("example.org"));
        Control<QLineEdit>(list, "edtDkimSelector")->setText(QStringLiteral("news"));
        Control<QLineEdit>(list, "edtDkimKeyFile")->setText(QStringLiteral("/home/anna/mailing/dkim.pem"));
        list.show();
        ok = Save(list, folder, "list-dialog.png") && ok;
        list.hide();
        for (QLineEdit* edit : list.findChildren<QLineEdit*>())
            edit->clear();
    }

    next->click();
    const QString tablePath = QDir(settings.path()).filePath(QStringLiteral("customers.dbf"));
    ok = MakeSampleTable(form, tablePath) && ok;
    QLineEdit* table = Control<QLineEdit>(form, "edtTable");
    table->setText(tablePath);
    table->setModified(true);
    Control<QComboBox>(form, "cmbName")->setEditText(QStringLiteral("NAME"));
    Control<QComboBox>(form, "cmbOrganization")->setEditText(QStringLiteral("COMPANY"));
    Control<QComboBox>(form, "cmbEmail")->setEditText(QStringLiteral("EMAIL"));
    Control<QComboBox>(form, "cmbDear")->setEditText(QStringLiteral("SALUTE"));
    form.edtTableExit(table); // as when the user leaves the edit: the code page preview reads the table
    Control<QCheckBox>(form, "chbLimit")->setChecked(true);
    Control<QLineEdit>(form, "edtScopeTo")->setText(QStringLiteral("2"));
    ok = Save(form, folder, "page4-recipients.png") && ok;

    // A failed check: the warning box, then page 4 titled "Not ready".
    Control<QLineEdit>(form, "edtScopeTo")->setText(QStringLiteral("9"));
    QTimer::singleShot(200, &app, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            ok = Save(*box, folder, "check-warning.png") && ok;
            box->close();
        }
    });
    next->click();
    ok = Save(form, folder, "page4-not-ready.png") && ok;

    // The whole table: the pre-flight summary, then its list of records to look at, then Back to page 4.
    Control<QCheckBox>(form, "chbLimit")->setChecked(false);
    QTimer::singleShot(200, &app, [&] {
        QWidget* summary = QApplication::activeModalWidget();
        if (!summary) {
            ok = false;
            return;
        }
        ok = Save(*summary, folder, "preflight-summary.png") && ok;
        Control<QPushButton>(*summary, "btnShowList")->click();
        ok = Save(*summary, folder, "preflight-list.png") && ok;
        Control<QPushButton>(*summary, "btnBack")->click();
    });
    next->click();

    // The real check passes for the first two records: the summary is confirmed, and the ready page shows "Start!".
    Control<QCheckBox>(form, "chbLimit")->setChecked(true);
    Control<QLineEdit>(form, "edtScopeTo")->setText(QStringLiteral("2"));
    QTimer::singleShot(200, &app, [&] {
        if (QWidget* summary = QApplication::activeModalWidget())
            Control<QPushButton>(*summary, "btnContinue")->click();
        else
            ok = false;
    });
    next->click();
    ok = Save(form, folder, "page5-ready.png") && ok;

    // A real run against a local SMTP server that refuses the second recipient: counts and memo lines.
    SmtpSink sink({QStringLiteral("max@example.org")});
    if (sink.Start()) {
        form.SmtpClient->SetHost("127.0.0.1"); // the check took mail.example.org; the sink stands in for it
        form.SmtpClient->SetPort(sink.PortText().toStdString());
        // In the middle of the run, while the client waits for the server: the status line says so, and the wait
        // control stays out of sight.
        bool running = false;
        QObject::connect(Control<QLineEdit>(form, "edtStatus"), &QLineEdit::textChanged, &form,
                         [&](const QString& text) {
                             if (!running && text == QStringLiteral("Sending mail #1")) {
                                 running = true;
                                 ok = Save(form, folder, "page5-running.png") && ok;
                             }
                         });
        next->click();
        ok = running && Save(form, folder, "page5-completed.png") && ok;
        Control<QPushButton>(form, "btnBack")->click();

        // The preview of the first record after "Send a test to me" went to the same server.
        QLineEdit* server = Control<QLineEdit>(form, "edtSMTPServer");
        server->setText(QStringLiteral("127.0.0.1:") + sink.PortText());
        bool previewed = false;
        QTimer::singleShot(200, &app, [&] {
            QWidget* preview = QApplication::activeModalWidget();
            if (!preview)
                return;
            previewed = true;
            Control<QPushButton>(*preview, "btnSendTest")->click();
            ok = Save(*preview, folder, "preview.png") && ok;
            Control<QPushButton>(*preview, "btnClose")->click();
        });
        Control<QPushButton>(form, "btnPreview")->click();
        ok = previewed && ok;
        server->setText(QStringLiteral("mail.example.org"));
    } else {
        std::fprintf(stderr, "no SMTP sink: %s\n", qPrintable(sink.ErrorText()));
        ok = false;
    }

    // A reminder to the same two: the first is told "try again later", so the run waits for its retry; the shot
    // shows that pause, then Stop ends it.
    SmtpSink deferring({QStringLiteral("max@example.org")});
    deferring.SetOptions({QStringLiteral("--defer"), QStringLiteral("anna@example.org")});
    if (deferring.Start()) {
        Control<QLineEdit>(form, "edtSubject")->setText(QStringLiteral("Our autumn catalogue: a reminder"));
        // The summary before sending, whatever it finds, is confirmed as the user would.
        QTimer::singleShot(200, &app, [&] {
            if (QWidget* summary = QApplication::activeModalWidget())
                if (auto* go = summary->findChild<QPushButton*>(QStringLiteral("btnContinue")))
                    go->click();
        });
        next->click();
        form.SmtpClient->SetHost("127.0.0.1");
        form.SmtpClient->SetPort(deferring.PortText().toStdString());
        QPushButton* stop = Control<QPushButton>(form, "btnCancel");
        bool shot = false;
        int waits = 0;
        // The first pause keeps to the throttle; the second waits for the retry once every record had its turn.
        QObject::connect(&form, &TMailWizardForm::RunStatusReported, &app, [&](const QString& status) {
            if (shot || !status.startsWith(QStringLiteral("Wait until")) || ++waits < 2)
                return;
            shot = true;
            QTimer::singleShot(600, &app, [&] {
                ok = Save(form, folder, "page5-retry-pause.png") && ok;
                QTimer::singleShot(200, &app, [] {
                    if (auto* box = QApplication::activeModalWidget())
                        for (QPushButton* button : box->findChildren<QPushButton*>())
                            if (button->text() == QStringLiteral("&Yes"))
                                button->click();
                });
                stop->click();
            });
        });
        next->click();
        ok = shot && ok;
        Control<QPushButton>(form, "btnBack")->click();
    } else {
        std::fprintf(stderr, "no SMTP sink: %s\n", qPrintable(deferring.ErrorText()));
        ok = false;
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
