// The wizard's server security through the real window: the Security dialog and its settings, the check's
// refusals, whole runs over STARTTLS and implicit TLS against aiosmtpd, a refused login, and the close box during
// a handshake that never ends.
#include "tests/app/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/TestCertificates.h"

#include "net/Wait.h"
#include "smtp/SmtpClient.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

class TestWizardSecurity : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;
    TestCertificates FCertificates;

    QString LogPath() const { return FDir.filePath("mail_log.dbf"); }

    // The Security dialog's fields: port, security index, user, password, certificate.
    static void SetSecurity(QWidget& form, const QString& port, int security, const QString& user = {},
                            const QString& password = {}, const QString& certificate = {}) {
        Find<QLineEdit>(form, "edtPort")->setText(port);
        Find<QComboBox>(form, "cmbSecurity")->setCurrentIndex(security);
        Find<QLineEdit>(form, "edtUserName")->setText(user);
        Find<QLineEdit>(form, "edtPassword")->setText(password);
        Find<QLineEdit>(form, "edtCertificate")->setText(certificate);
    }

    // A wizard on page 4 whose body holds a line of a lone dot.
    std::unique_ptr<TMailWizardForm> Wizard(const QString& server) {
        auto form = FilledWizard(FDir.path(), FTable, server, 0);
        Find<QPlainTextEdit>(*form, "memMessage")->setPlainText("Dear %N,\n.\nBye");
        for (int i = 0; i < 3; ++i)
            Find<QPushButton>(*form, "btnNext")->click();
        return form;
    }

    QStringList LogRows() const {
        QStringList rows = ReadTable(LogPath());
        if (!rows.isEmpty())
            rows.removeFirst();
        return rows;
    }

    SmtpSink* StartSink(std::unique_ptr<SmtpSink>& sink, const QString& security, const QStringList& more = {}) {
        sink = std::make_unique<SmtpSink>();
        sink->SetOptions(QStringList{"--security", security, "--cert",
                                     FCertificates.Certificate(TestCertificates::Good), "--key",
                                     FCertificates.Key(TestCertificates::Good)} +
                         more);
        return sink->Start() ? sink.get() : nullptr;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        QVERIFY2(FCertificates.Make(), qPrintable(FCertificates.ErrorText()));
        UseTemporarySettings(FSettings);
        FTable = FDir.filePath("recipients.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  {{"Anna Berg", "anna@example.org"}, {"Carl Dorn", "carl@example.org"}});
    }

    void init() {
        RawSettings().clear();
        QFile::remove(LogPath());
        QFile::remove(FDir.filePath("mail_sent.dbf")); // each run starts without the ledger's earlier deliveries
    }

    // A settings file of the first version loads as before: no security, the "smtp" port, HELO on the wire.
    // The new settings come back at the next start, the password does not (the file's bytes: tst_passwords).
    void settings() {
        {
            QSettings raw = RawSettings();
            raw.setValue("Settings/SMTP Server", "127.0.0.1");
            raw.setValue("Settings/Timeout", "30");
        }
        {
            auto form = Wizard("127.0.0.1");
            QCOMPARE(Find<QComboBox>(*form, "cmbSecurity")->currentIndex(), 0);
            QCOMPARE(Find<QLineEdit>(*form, "edtPort")->text(), QString());
            QCOMPARE(CheckWarning(*form), QString());
            QCOMPARE(form->SmtpClient->Port(), std::string("smtp"));
            QCOMPARE(form->SmtpClient->Security(), TSmtpSecurity::None);
            QCOMPARE(form->SmtpClient->UserName(), std::string());

            SetSecurity(*form, "2525", 1, "anna", "Pa55-w0rd!", "/etc/ssl/certs/ca-certificates.crt");
            Find<QCheckBox>(*form, "chbAllowClearPassword")->setChecked(true);
            auto seen = AnswerNextBox("&Yes");
            QVERIFY(form->close());
            QVERIFY(seen->Shown);
        }
        auto form = ShowWizard();
        QCOMPARE(Find<QComboBox>(*form, "cmbSecurity")->currentIndex(), 1);
        QCOMPARE(Find<QLineEdit>(*form, "edtPort")->text(), QStringLiteral("2525"));
        QCOMPARE(Find<QLineEdit>(*form, "edtUserName")->text(), QStringLiteral("anna"));
        QCOMPARE(Find<QLineEdit>(*form, "edtPassword")->text(), QString());
        QVERIFY(Find<QCheckBox>(*form, "chbAllowClearPassword")->isChecked());
        form->SettingsChanged = false;
    }

    void refusals_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const QString& server, const QString& port, const QString& certificate,
                            const QString& message) {
            QTest::newRow(name) << server << port << certificate << message;
        };
        const QString badServer = "Invalid SMTP mail server specified: use a name or address, optionally followed by "
                                  "a colon and the port.";
        const QString badPort = "Invalid port specified: %1 (a number from 1 to 65535 or a service name).";
        row("colon without port", "mail.example.org:", {}, {}, badServer);
        row("two colons", "fe80::1", {}, {}, badServer);
        row("port not a service", "127.0.0.1", "no-such-service", {}, badPort.arg("no-such-service"));
        row("port too large", "127.0.0.1:70000", {}, {}, badPort.arg("70000"));
        row("two ports", "127.0.0.1:2525", "25", {}, "The SMTP server names port 2525, the security settings port 25.");
        row("certificate missing", "127.0.0.1", {}, "/nonexistent/ca.pem",
            "Can't read the trusted certificate file:\n/nonexistent/ca.pem");
    }

    void refusals() {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(QString, certificate);
        QFETCH(QString, message);
        auto form = Wizard(server);
        SetSecurity(*form, port, 0, {}, {}, certificate);
        QCOMPARE(CheckWarning(*form), message + " \n\nPlease check settings.");
        QCOMPARE(form->PageNo, 4);
        form->SettingsChanged = false;
    }

    // The port comes from the server text, else from the dialog, else from the chosen security.
    void ports_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("security");
        QTest::addColumn<QString>("used");
        const auto row = [](const char* name, const QString& server, const QString& port, int security,
                            const QString& used) { QTest::newRow(name) << server << port << security << used; };
        row("host:port", "127.0.0.1:2525", {}, 0, "2525");
        row("dialog port", "127.0.0.1", "submission", 1, "submission");
        row("same in both", "127.0.0.1:465", "465", 2, "465");
        row("STARTTLS standard", "127.0.0.1", {}, 1, "587");
        row("SSL/TLS standard", "127.0.0.1", {}, 2, "465");
    }

    void ports() {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(int, security);
        QFETCH(QString, used);
        auto form = Wizard(server);
        SetSecurity(*form, port, security);
        QCOMPARE(CheckWarning(*form), QString());
        QCOMPARE(form->SmtpClient->Host(), std::string("127.0.0.1"));
        QCOMPARE(QString::fromStdString(form->SmtpClient->Port()), used);
        form->SettingsChanged = false;
    }

    void runs_data() {
        QTest::addColumn<QString>("security");
        QTest::addColumn<QString>("excluded");
        QTest::addColumn<QString>("mechanism");
        QTest::newRow("STARTTLS + PLAIN") << QStringLiteral("starttls") << QString() << QStringLiteral("PLAIN");
        QTest::newRow("SSL/TLS + LOGIN") << QStringLiteral("tls") << QStringLiteral("PLAIN") << QStringLiteral("LOGIN");
    }

    // A whole run through the window; every message as the server stored it.
    void runs() {
        QFETCH(QString, security);
        QFETCH(QString, excluded);
        QFETCH(QString, mechanism);
        std::unique_ptr<SmtpSink> sink;
        QStringList login{"--user", "anna", "--password", "s3cret"};
        if (!excluded.isEmpty())
            login << "--exclude-auth" << excluded;
        QVERIFY(StartSink(sink, security, login));
        auto form = Wizard(QStringLiteral("localhost:%1").arg(sink->Port()));
        SetSecurity(*form, "", security == "tls" ? 2 : 1, "anna", "s3cret", FCertificates.Ca());
        QCOMPARE(CheckWarning(*form), QString());
        Find<QPushButton>(*form, "btnNext")->click();

        QCOMPARE(Find<QLineEdit>(*form, "edtSentCount")->text(), QStringLiteral("2"));
        QCOMPARE(Find<QLineEdit>(*form, "edtErrorCount")->text(), QStringLiteral("0"));
        QCOMPARE(sink->AuthAttempts(), QStringList{"anna " + mechanism + " ok"});
        const auto messages = sink->Messages();
        QCOMPARE(int(messages.size()), 2);
        const QByteArray expected[] = {"Anna Berg <anna@example.org>", "Carl Dorn <carl@example.org>"};
        for (int i = 0; i < 2; ++i) {
            // Date and Message-ID differ per message; every other byte is known.
            QString content = QString::fromLatin1(messages[i].Content);
            content.replace(QRegularExpression("\r\nDate: [^\r]*\r\nMessage-ID: <[^>\r]*>"), QString());
            QCOMPARE(content.left(content.indexOf("\r\nDelivered to you")).toLatin1(),
                     "From: Anna Berg <anna@example.org>\r\nTo: " + expected[i] +
                         "\r\nSubject: Autumn news\r\nMime-Version: 1.0\r\n"
                         "Content-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
                         "Dear " +
                         expected[i].left(9) + ",\r\n.\r\nBye\r\n");
            QVERIFY(messages[i].Wire.contains("\r\n..\r\nBye\r\n"));
        }
        const QString log = Find<QPlainTextEdit>(*form, "memLog")->toPlainText();
        QVERIFY(!log.contains("s3cret"));
        QVERIFY(!QFile::exists(LogPath()) || LogRows().isEmpty());
        form->SettingsChanged = false;
    }

    void refusedSecurity_data() {
        QTest::addColumn<QString>("sinkSecurity");
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("row");
        const QString refused = "535 5.7.8 Authentication credentials invalid";
        const QString noStartTls = "The server does not offer STARTTLS";
        QTest::newRow("wrong password") << QStringLiteral("starttls") << QStringList{"anna PLAIN refused"}
                                        << "The server refused the user name or password: " + refused << refused;
        QTest::newRow("no STARTTLS") << QStringLiteral("none") << QStringList() << noStartTls << noStartTls;
    }

    // A refused login or encryption ends the run before any message: one attempt at most, one log row, in the
    // server's words when it gave any.
    void refusedSecurity() {
        QFETCH(QString, sinkSecurity);
        QFETCH(QStringList, attempts);
        QFETCH(QString, shown);
        QFETCH(QString, row);
        std::unique_ptr<SmtpSink> sink;
        QVERIFY(StartSink(sink, sinkSecurity, {"--user", "anna", "--password", "s3cret", "--auth-clear"}));
        auto form = Wizard(QStringLiteral("localhost:%1").arg(sink->Port()));
        SetSecurity(*form, "", 1, "anna", "wrong", FCertificates.Ca());
        QCOMPARE(CheckWarning(*form), QString());
        Find<QPushButton>(*form, "btnNext")->click();

        QCOMPARE(sink->AuthAttempts(), attempts);
        QCOMPARE(sink->Count(), 0);
        QCOMPARE(Find<QLineEdit>(*form, "edtSentCount")->text(), QStringLiteral("0"));
        QCOMPARE(Find<QLineEdit>(*form, "edtErrorCount")->text(), QStringLiteral("1"));
        QCOMPARE(Find<QLabel>(*form, "lblTitle")->text(), QStringLiteral("Completed"));
        QVERIFY(Find<QPlainTextEdit>(*form, "memLog")->toPlainText().contains(shown));
        QCOMPARE(LogRows(), QStringList{row + "|Anna Berg|anna@example.org"});
        form->SettingsChanged = false;
    }

    // The dialog: Test connection reports in one sentence, Cancel forgets, OK keeps.
    void dialog() {
        std::unique_ptr<SmtpSink> sink;
        QVERIFY(StartSink(sink, "starttls"));
        auto form = Wizard(QStringLiteral("127.0.0.1:%1").arg(sink->Port()));
        auto* dialog = form->findChild<QDialog*>("SecurityDialog");
        QVERIFY(dialog);
        QCOMPARE(dialog->font().family(), form->font().family());

        form->SettingsChanged = false;
        QString first;
        QString second;
        QTimer::singleShot(0, [&] {
            Find<QComboBox>(*dialog, "cmbSecurity")->setCurrentIndex(1);
            Find<QPushButton>(*dialog, "btnTest")->click();
            first = Find<QLabel>(*dialog, "lblTestResult")->text();
            Find<QComboBox>(*dialog, "cmbSecurity")->setCurrentIndex(0);
            Find<QLineEdit>(*dialog, "edtUserName")->setText("anna");
            Find<QCheckBox>(*dialog, "chbRememberPassword")->setChecked(false);
            Find<QLineEdit>(*dialog, "edtPassword")->setText("x");
            Find<QPushButton>(*dialog, "btnTest")->click();
            second = Find<QLabel>(*dialog, "lblTestResult")->text();
            Find<QPushButton>(*dialog, "btnSecurityCancel")->click();
        });
        Find<QPushButton>(*form, "btnSecurity")->click();
        // Nobody trusts the test's CA here: the sentence says so.
        QCOMPARE(first, QStringLiteral("The server's certificate was not issued by a trusted authority"));
        QVERIFY2(second.startsWith("The connection is not encrypted, so the password was not sent"),
                 qPrintable(second));
        QCOMPARE(Find<QComboBox>(*form, "cmbSecurity")->currentIndex(), 0);
        QCOMPARE(Find<QLineEdit>(*form, "edtUserName")->text(), QString());
        QVERIFY(!form->SettingsChanged);

        QTimer::singleShot(0, [&] {
            Find<QComboBox>(*dialog, "cmbSecurity")->setCurrentIndex(1);
            Find<QLineEdit>(*dialog, "edtCertificate")->setText(FCertificates.Ca());
            Find<QPushButton>(*dialog, "btnTest")->click();
            first = Find<QLabel>(*dialog, "lblTestResult")->text();
            Find<QPushButton>(*dialog, "btnSecurityOK")->click();
        });
        Find<QPushButton>(*form, "btnSecurity")->click();
        QCOMPARE(first, QStringLiteral("The test worked: connected to 127.0.0.1:%1, the connection is encrypted.")
                            .arg(sink->Port()));
        QCOMPARE(Find<QComboBox>(*form, "cmbSecurity")->currentIndex(), 1);
        QVERIFY(form->SettingsChanged);
        form->SettingsChanged = false;
    }

    void stopDuringHandshake_data() {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("close box") << true;
        QTest::newRow("Stop") << false;
    }

    // The close box or Stop while the server takes the connection and never answers the TLS handshake (a peer
    // process): the run ends at once as the user's abort, not after the timeout as the server's failure.
    void stopDuringHandshake() {
        QFETCH(bool, closeBox);
        QProcess peer;
        peer.start("/usr/bin/python3", {"-c", "import socket, sys\n"
                                              "s = socket.create_server(('127.0.0.1', 0))\n"
                                              "print(s.getsockname()[1], flush=True)\n"
                                              "c, _ = s.accept()\n"
                                              "sys.stdin.read()\n"});
        QVERIFY(peer.waitForReadyRead(10000));
        const QString port = QString::fromLatin1(peer.readLine().trimmed());
        auto form = Wizard("127.0.0.1:" + port);
        SetSecurity(*form, "", 2);
        QCOMPARE(CheckWarning(*form), QString());
        form->SettingsChanged = false;
        TMailWizardForm* window = form.get();
        std::shared_ptr<TSeenBox> box;
        connect(Find<QLineEdit>(*form, "edtStatus"), &QLineEdit::textChanged, window, [&](const QString& status) {
            if (!box && status == QStringLiteral("Connecting")) {
                box = AnswerNextBox("&Yes");
                QTimer::singleShot(300, window, [window, closeBox] {
                    if (closeBox)
                        window->close();
                    else
                        Find<QPushButton>(*window, "btnCancel")->click();
                });
            }
        });
        QElapsedTimer clock;
        clock.start();
        Find<QPushButton>(*form, "btnNext")->click();
        QVERIFY(clock.elapsed() < 8000); // the timeout is 20 s
        QVERIFY(box && box->Shown);
        QCOMPARE(form->isVisible(), !closeBox);
        QVERIFY(Find<QPlainTextEdit>(*form, "memLog")->toPlainText().contains("User aborted at position 0."));
        QCOMPARE(Find<QLineEdit>(*form, "edtErrorCount")->text(), QStringLiteral("0"));
        QCOMPARE(LogRows(), QStringList{"User aborted at position 0.|Anna Berg|anna@example.org"});
        peer.closeWriteChannel();
        peer.waitForFinished(5000);
    }
};

QTEST_MAIN(TestWizardSecurity)
#include "tst_wizardsecurity.moc"
