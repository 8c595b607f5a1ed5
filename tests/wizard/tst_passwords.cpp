// Passwords in a real Secret Service: the test runs itself again inside a private D-Bus session with an unlocked
// gnome-keyring, reads passwords through the check and stores only those the server accepted, and finds none in
// the settings file.
// Without any keyring the check says so once, and Start! asks for the remembered password instead.
#include "tests/wizard/WizardFixture.h"

#include "tests/servers/SmtpSink.h"

#include "mailing/PasswordStore.h"

#include <QInputDialog>

#include <unistd.h>

namespace {

const QString Secret = QStringLiteral("Kw-9!secret");
const bool NoKeyring = qEnvironmentVariableIsSet("QUORVEL_NO_KEYRING");

// The session: a throw-away home for the keyring's files, the daemon with its login keyring created and unlocked,
// then the test itself.
const char* const SessionScript =
    "home=$(mktemp -d) && trap 'rm -rf \"$home\"' EXIT && mkdir -m 700 \"$home/run\" || exit 1\n"
    "export HOME=\"$home\" XDG_DATA_HOME=\"$home/data\" XDG_RUNTIME_DIR=\"$home/run\" XDG_CURRENT_DESKTOP=GNOME\n"
    "printf quorvel | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 1\n"
    "\"$0\" \"$@\"\n";

} // namespace

class TestPasswords : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;

    std::unique_ptr<TMailWizardForm> Wizard() { return FilledWizard(FDir.path(), FTable, "127.0.0.1:1"); }

    // Opens the Security dialog, lets change fill it in, and confirms it with OK; false when a warning came.
    static bool EditSecurity(TMailWizardForm& form, const std::function<void()>& change) {
        QTimer::singleShot(0, [&form, change] {
            change();
            Find<QPushButton>(form, "btnSecurityOK")->click();
        });
        auto warning = AnswerNextBox("OK");
        Find<QPushButton>(form, "btnSecurity")->click();
        if (warning->Shown)
            qWarning("%s", qPrintable(warning->Text));
        return !warning->Shown;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)", {{"Anna", "anna@example.org"}});
    }

    void init() { RawSettings().clear(); }

    // Typed in the dialog, the password reaches the keyring only once a server accepted it; stored, it is read back
    // by the next program start's check, never in the settings file, and the dialog's other settings come back
    // with it. Unticking removes the password from the keyring.
    void rememberedThroughTheWindow() {
        if (NoKeyring)
            QSKIP("runs inside the keyring session only");
        {
            auto form = Wizard();
            QVERIFY(EditSecurity(*form, [&form] {
                Find<QLineEdit>(*form, "edtPort")->setText("1");
                Find<QComboBox>(*form, "cmbSecurity")->setCurrentIndex(2);
                Find<QCheckBox>(*form, "chbAllowClearPassword")->setChecked(true);
                Find<QLineEdit>(*form, "edtUserName")->setText("anna");
                Find<QLineEdit>(*form, "edtPassword")->setText(Secret);
                Find<QCheckBox>(*form, "chbRememberPassword")->setChecked(true);
            }));
            auto seen = AnswerNextBox("&Yes");
            QVERIFY(form->close() && seen->Shown);
        }
        QString password, error;
        QVERIFY(!PasswordStore::Read(PasswordStore::Key("anna", "127.0.0.1"), password, error));
        QVERIFY(PasswordStore::Write(PasswordStore::Key("anna", "127.0.0.1"), Secret, error)); // as once accepted
        QFile file(RawSettings().fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.contains("anna") && !bytes.contains(Secret.toUtf8()) &&
                !bytes.contains(Secret.toUtf8().toBase64()));

        auto form = Wizard();
        const auto seen = [&form] {
            return QStringList{Find<QLineEdit>(*form, "edtPort")->text(),
                               QString::number(Find<QComboBox>(*form, "cmbSecurity")->currentIndex()),
                               Find<QCheckBox>(*form, "chbAllowClearPassword")->isChecked() ? "clear" : "",
                               Find<QLineEdit>(*form, "edtPassword")->text()};
        };
        QCOMPARE(seen(), (QStringList{"1", "2", "clear", ""}));
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(seen().last(), Secret);

        Find<QPushButton>(*form, "btnBack")->click();
        QVERIFY(EditSecurity(*form, [&form] { Find<QCheckBox>(*form, "chbRememberPassword")->setChecked(false); }));
        QVERIFY(!PasswordStore::Read(PasswordStore::Key("anna", "127.0.0.1"), password, error));
        QCOMPARE(error, QString());
        form->SettingsChanged = false;
    }

    // A password the server refused (535) is neither stored nor tried again: the next Start! asks for it, saying
    // why, and only the accepted one reaches the keyring.
    void refusedPasswordAskedAgain() {
        if (NoKeyring)
            QSKIP("runs inside the keyring session only");
        SmtpSink sink;
        sink.SetOptions({"--user", "anna", "--password", Secret, "--auth-clear"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = FilledWizard(FDir.path(), FTable, QStringLiteral("127.0.0.1:%1").arg(sink.Port()));
        Find<QLineEdit>(*form, "edtUserName")->setText("anna");
        Find<QCheckBox>(*form, "chbRememberPassword")->setChecked(true);
        Find<QCheckBox>(*form, "chbAllowClearPassword")->setChecked(true);
        QCOMPARE(CheckWarning(*form), QString());
        QStringList prompts;
        const auto start = [&](const QString& typed) {
            QTimer::singleShot(0, [&prompts, typed] {
                if (auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
                    prompts << dialog->labelText();
                    dialog->setTextValue(typed);
                    dialog->accept();
                }
            });
            Find<QPushButton>(*form, "btnNext")->click();
        };
        const auto stored = [] {
            QString password, error;
            PasswordStore::Read(PasswordStore::Key("anna", "127.0.0.1"), password, error);
            return password;
        };
        start("wrong");
        QCOMPARE(stored(), QString());
        QVERIFY(Find<QPlainTextEdit>(*form, "memLog")->toPlainText().endsWith(TMailWizardForm::PasswordRefusedText));
        Find<QPushButton>(*form, "btnBack")->click();
        QCOMPARE(CheckWarning(*form), QString());
        start(Secret);
        const QString asked = QStringLiteral("Password of anna at 127.0.0.1:");
        QCOMPARE(prompts, (QStringList{asked, TMailWizardForm::PasswordRefusedText + '\n' + asked}));
        QCOMPARE(sink.AuthAttempts().join(',').count("refused"), 1);
        QCOMPARE(sink.Count(), 1);
        QCOMPARE(stored(), Secret);
        QString error;
        PasswordStore::Remove(PasswordStore::Key("anna", "127.0.0.1"), error);
        form->SettingsChanged = false;
    }

    // No keyring at all (this test again, on a bus that does not exist): told once, and Start! asks for the
    // remembered password.
    void withoutKeyring() {
        if (!NoKeyring) {
            qputenv("QUORVEL_NO_KEYRING", "1"); // read by the inner run; this one keeps its bus connection
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
            QProcess inner;
            inner.setProcessChannelMode(QProcess::ForwardedChannels);
            inner.start(QCoreApplication::applicationFilePath(), {"withoutKeyring"});
            QVERIFY(inner.waitForFinished(120000) && inner.exitCode() == 0);
            return;
        }
        auto form = Wizard();
        Find<QLineEdit>(*form, "edtUserName")->setText("anna");
        Find<QCheckBox>(*form, "chbRememberPassword")->setChecked(true);
        // Said once in the user's words, not the bus's; the check goes on and Start! asks.
        QCOMPARE(CheckWarning(*form), PasswordStore::NoKeyringText);
        Find<QPushButton>(*form, "btnBack")->click();
        QCOMPARE(CheckWarning(*form), QString());
        QString label;
        QTimer::singleShot(0, [&label] {
            if (auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget())) {
                label = dialog->labelText();
                dialog->reject();
            }
        });
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(label, QStringLiteral("Password of anna at 127.0.0.1:"));
        QCOMPARE(form->PageNo, 5); // cancelled: still ready, nothing sent
        form->SettingsChanged = false;
    }
};

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QUORVEL_KEYRING_SESSION") && !NoKeyring) {
        setenv("QUORVEL_KEYRING_SESSION", "1", 1);
        std::vector<const char*> arguments{"dbus-run-session", "--", "sh", "-c", SessionScript};
        arguments.insert(arguments.end(), argv, argv + argc);
        arguments.push_back(nullptr);
        execvp("dbus-run-session", const_cast<char* const*>(arguments.data()));
        perror("dbus-run-session");
        return 1;
    }
    QApplication application(argc, argv);
    TestPasswords test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_passwords.moc"
