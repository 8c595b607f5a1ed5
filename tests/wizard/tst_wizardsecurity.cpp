// The wizard's server security through the real window against aiosmtpd; the certificate and login cases
// themselves belong to the client's tests (tst_smtpsecurity).
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/SmtpSink.h"
#include "tests/servers/TestCertificates.h"
#include "tests/servers/ThreadedPeer.h"

#include "smtp/SmtpClient.h"

#include <QLabel>
#include <QRegularExpression>

class TestWizardSecurity : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;
    QString FTable;
    TestCertificates FCertificates;

    // A wizard on page 4 with the Security dialog's fields.
    std::unique_ptr<TMailWizardForm> Wizard(const QString& server, int security, const QString& port = {},
                                            const QStringList& login = {"", ""}, const QString& certificate = {}) {
        auto form = FilledWizard(FDir.path(), FTable, server);
        Find<QLineEdit>(*form, "edtPort")->setText(port);
        Find<QComboBox>(*form, "cmbSecurity")->setCurrentIndex(security);
        Find<QLineEdit>(*form, "edtUserName")->setText(login[0]);
        Find<QLineEdit>(*form, "edtPassword")->setText(login[1]);
        Find<QLineEdit>(*form, "edtCertificate")->setText(certificate);
        return form;
    }

    // A sink with the test's good certificate, speaking the given security.
    std::unique_ptr<SmtpSink> StartSink(const QString& security, const QStringList& more) {
        auto sink = std::make_unique<SmtpSink>();
        sink->SetOptions(QStringList{"--security", security, "--cert",
                                     FCertificates.Certificate(TestCertificates::Good), "--key",
                                     FCertificates.Key(TestCertificates::Good)} +
                         more);
        return sink->Start() ? std::move(sink) : nullptr;
    }

    QStringList LogRows() const { return ReadTable(FDir.filePath("mail_log.dbf")).mid(1); }

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
        QFile::remove(FDir.filePath("mail_log.dbf"));
        QFile::remove(FDir.filePath("mail_sent.dbf")); // each run starts without the ledger's earlier deliveries
    }

    // The port comes from the server text, else the dialog, else the security (a store of the first version keeps
    // "smtp"); an unusable combination is refused in words on page 4.
    void check_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("security");
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("result"); // the port the client gets, or the refusal
        const auto row = [](const char* name, const QString& server, const QString& port, int security,
                            const QString& certificate, const QString& result) {
            QTest::newRow(name) << server << port << security << certificate << result;
        };
        row("first version's", "127.0.0.1", {}, 0, {}, "smtp");
        row("dialog port", "127.0.0.1", "submission", 1, {}, "submission");
        row("same in both", "127.0.0.1:465", "465", 2, {}, "465");
        row("STARTTLS standard", "127.0.0.1", {}, 1, {}, "587");
        row("IPv6 address", "fe80::1", {}, 0, {}, "smtp");
        row("IPv6 address with port", "[::1]:2525", {}, 0, {}, "2525");
        row("bracket not closed", "[::1:2525", {}, 0, {},
            "Invalid SMTP mail server specified: use a name or address, optionally followed by a colon and the "
            "port.");
        row("port not a service", "127.0.0.1", "no-such-service", 0, {},
            "Invalid port specified: no-such-service (a number from 1 to 65535 or a service name).");
        row("two ports", "127.0.0.1:2525", "25", 0, {},
            "The SMTP server names port 2525, the security settings port 25.");
        row("certificate missing", "127.0.0.1", {}, 0, "/nonexistent/ca.pem",
            "Can't read the trusted certificate file:\n/nonexistent/ca.pem");
    }

    void check() {
        QFETCH(QString, server);
        QFETCH(QString, port);
        QFETCH(int, security);
        QFETCH(QString, certificate);
        QFETCH(QString, result);
        auto form = Wizard(server, security, port, {"", ""}, certificate);
        const bool refused = result.contains(' ');
        QCOMPARE(CheckWarning(*form), refused ? result + " \n\nPlease check settings." : QString());
        QCOMPARE(refused ? QString::number(form->PageNo) : QString::fromStdString(form->SmtpClient->Port()),
                 refused ? "4" : result);
        form->SettingsChanged = false;
    }

    void runs_data() {
        QTest::addColumn<QString>("security");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("refused"); // an address the server refuses
        QTest::addColumn<QString>("outcome"); // login attempts | sent/errors | log rows
        const auto row = [](const char* name, const char* security, const char* password, const char* outcome,
                            const char* refused = "") {
            QTest::newRow(name) << QString(security) << QString(password) << QString(refused) << QString(outcome);
        };
        row("STARTTLS + PLAIN", "starttls", "s3cret", "anna PLAIN ok|2/0|");
        row("SSL/TLS + LOGIN", "tls", "s3cret", "anna LOGIN ok|2/0|");
        // A refused login ends the run before any message: one attempt, one log row in the server's words.
        row("wrong password", "starttls", "wrong",
            "anna PLAIN refused|0/1|535 5.7.8 Authentication credentials invalid|Anna Berg|anna@example.org");
        // A refused recipient costs no new handshake and login: the next message goes over the same connection.
        row("refused recipient, one login", "starttls", "s3cret",
            "anna PLAIN ok|1/1|550 Mailbox unavailable: anna@example.org|Anna Berg|anna@example.org",
            "anna@example.org");
    }

    // A whole run through the window with the dialog's settings; the first message as the server stored it.
    void runs() {
        QFETCH(QString, security);
        QFETCH(QString, password);
        QFETCH(QString, refused);
        QFETCH(QString, outcome);
        QStringList options{"--user", "anna", "--password", "s3cret"};
        if (!refused.isEmpty())
            options << "--refuse" << refused;
        if (security == "tls")
            options << "--exclude-auth"
                    << "PLAIN";
        auto sink = StartSink(security, options);
        QVERIFY(sink);
        auto form = Wizard(QStringLiteral("localhost:%1").arg(sink->Port()), security == "tls" ? 2 : 1, {},
                           {"anna", password}, FCertificates.Ca());
        QCOMPARE(CheckWarning(*form), QString());
        Find<QPushButton>(*form, "btnNext")->click();
        form->SettingsChanged = false;

        const auto field = [&form](const char* name) { return Find<QLineEdit>(*form, name)->text(); };
        QCOMPARE(sink->AuthAttempts().join(',') + '|' + field("edtSentCount") + '/' + field("edtErrorCount") + '|' +
                     LogRows().join(';'),
                 outcome);
        const QString log = Find<QPlainTextEdit>(*form, "memLog")->toPlainText();
        QVERIFY(!log.contains("s3cret"));
        const auto messages = sink->Messages();
        QCOMPARE(int(messages.size()), password == "wrong" ? 0 : refused.isEmpty() ? 2 : 1);
        QCOMPARE(log.contains("The server refused the user name or password: 535 5.7.8"), messages.empty());
        if (messages.size() != 2)
            return;
        // Date and Message-ID differ per message; every other byte is known.
        QString content = QString::fromLatin1(messages[0].Content);
        content.replace(QRegularExpression("\r\nDate: [^\r]*\r\nMessage-ID: <[^>\r]*>"), QString());
        QCOMPARE(content.left(content.indexOf("\r\nDelivered to you")).toLatin1(),
                 "From: Anna Berg <anna@example.org>\r\nTo: Anna Berg <anna@example.org>\r\nSubject: Autumn news\r\n"
                 "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
                 "Content-Transfer-Encoding: 7bit\r\n\r\nDear Anna Berg,\r\n\r\nnews.\r\n");
    }

    // Test connection reports in one sentence; Cancel forgets what was changed, OK keeps it.
    void dialog() {
        auto sink = StartSink("starttls", {});
        QVERIFY(sink);
        auto form = Wizard(QStringLiteral("127.0.0.1:%1").arg(sink->Port()), 0);
        form->SettingsChanged = false;
        const auto edit = [&form](const QString& certificate, const char* button) {
            QString result;
            QTimer::singleShot(0, [&] {
                Find<QComboBox>(*form, "cmbSecurity")->setCurrentIndex(1);
                Find<QLineEdit>(*form, "edtCertificate")->setText(certificate);
                Find<QPushButton>(*form, "btnTest")->click();
                result = Find<QLabel>(*form, "lblTestResult")->text();
                Find<QPushButton>(*form, button)->click();
            });
            Find<QPushButton>(*form, "btnSecurity")->click();
            return QStringList{result, QString::number(Find<QComboBox>(*form, "cmbSecurity")->currentIndex()),
                               form->SettingsChanged ? "changed" : "unchanged"};
        };
        QCOMPARE(edit({}, "btnSecurityCancel"),
                 (QStringList{"The server's certificate was not issued by a trusted authority", "0", "unchanged"}));
        QCOMPARE(edit(FCertificates.Ca(), "btnSecurityOK"),
                 (QStringList{QStringLiteral("The test worked: connected to 127.0.0.1:%1, the connection is encrypted.")
                                  .arg(sink->Port()),
                              "1", "changed"}));
        form->SettingsChanged = false;
    }

    void stopDuringHandshake_data() {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("close box") << true;
        QTest::newRow("Stop") << false;
    }

    // The close box or Stop while a peer on its own thread never answers the TLS handshake: the run ends at once
    // as the user's abort, not after the timeout as the server's failure.
    void stopDuringHandshake() {
        QFETCH(bool, closeBox);
        ThreadedPeer silent([](const ThreadedPeer::Command&) { return ThreadedPeer::Reply{}; });
        auto form = Wizard("127.0.0.1:" + silent.PortText(), 2);
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
        Find<QPushButton>(*form, "btnNext")->click(); // after the timeout the row would be the server's failure
        QVERIFY(box && box->Shown);
        QCOMPARE(form->isVisible(), !closeBox);
        QCOMPARE(Find<QLineEdit>(*form, "edtErrorCount")->text() + '|' + LogRows().join(';'),
                 "0|User aborted at position 0.|Anna Berg|anna@example.org");
    }
};

QTEST_MAIN(TestWizardSecurity)
#include "tst_wizardsecurity.moc"
