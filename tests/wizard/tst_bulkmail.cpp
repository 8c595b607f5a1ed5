// Bulk mail through the real window against aiosmtpd: list headers per recipient as Python's email package reads
// them, the suppression list in the summary and the run (ledger rows read by dbfread), hard bounces offered for
// the list, the check's refusals of the list settings, and a run over several connections.
#include "tests/wizard/WizardFixture.h"
#include "tests/framework/ModalAnswer.h"
#include "tests/servers/SmtpSink.h"

#include "mailing/PreflightSummary.h"
#include "wizard/ListDialog.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>

class TestBulkMail : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FSettings;
    QTemporaryDir FDir;

    QString Path(const char* name) const { return FDir.filePath(QString::fromLatin1(name)); }

    static void SetList(QWidget& form, const char* edit, const QString& text) {
        Find<QLineEdit>(form, edit)->setText(text);
    }

    // A wizard on the ready page for the table's NAME and EMAIL fields against the sink.
    std::unique_ptr<TMailWizardForm> Ready(const SmtpSink& sink, const QString& table,
                                           const std::function<void(QWidget&)>& list) {
        auto form = FilledWizard(FDir.path(), table, QStringLiteral("127.0.0.1:") + sink.PortText());
        list(*form);
        Find<QPushButton>(*form, "btnNext")->click();
        if (Find<QPushButton>(*form, "btnNext")->text() != QStringLiteral("Start!"))
            qWarning("the check did not pass");
        return form;
    }

    QStringList LedgerRows() const {
        QStringList rows = ReadTable(Path("mail_sent.dbf"));
        QStringList picked;
        // E_MAIL, STATUS and REPLY of each row: the columns after the header line.
        const QStringList names = rows.isEmpty() ? QStringList() : rows.takeFirst().split(';');
        const auto column = [&](const QString& name) {
            for (int i = 0; i < names.size(); ++i)
                if (names[i].startsWith(name + ':'))
                    return i;
            return -1;
        };
        for (const QString& row : rows) {
            const QStringList cells = row.split('|');
            picked << cells.value(column("E_MAIL")) + '|' + cells.value(column("STATUS")) + '|' +
                          cells.value(column("REPLY"));
        }
        return picked;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid() && FDir.isValid());
        UseTemporarySettings(FSettings);
    }

    void init() {
        RawSettings().clear();
        for (const char* name : {"mail_log.dbf", "mail_sent.dbf", "suppressed.txt"})
            QFile::remove(Path(name));
    }

    // Each recipient's own link and mailto URL, every value percent-encoded so that a reader's URL parser gives
    // it back exactly ("+" is no blank, "&" no new parameter, UTF-8 bytes for "ü"); each message DKIM-signed over
    // those headers as an independent verifier checks it; the settings survive a save.
    void listHeadersPerRecipient() {
        QProcess openssl;
        openssl.start("openssl", {"genpkey", "-algorithm", "ED25519", "-out", Path("ed25519.pem")});
        QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);
        const QString table = Path("list.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40); CODE C(10)",
                  Rows({"Jürgen Groß|a+b@example.org|x&y z", "Anna|anna@example.org|7"}));
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = Ready(sink, table, [this](QWidget& f) {
            SetList(f, "edtUnsubscribeURL", "https://news.example.org/leave?e=%E&n=%N&c={CODE}");
            SetList(f, "edtUnsubscribeAddress", "leave@example.org");
            SetList(f, "edtListID", "Members' newsletter <news.example.org>");
            SetList(f, "edtReplyTo", "office@example.org");
            SetList(f, "edtDkimDomain", "example.org");
            SetList(f, "edtDkimSelector", "news");
            SetList(f, "edtDkimKeyFile", Path("ed25519.pem"));
        });
        const QString record = form->ListDlg->DnsRecordText();
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(sink.Count(), 2);

        QStringList files;
        for (const SmtpSink::Message& message : sink.Messages()) {
            files << FDir.filePath(QStringLiteral("message%1.eml").arg(files.size()));
            QFile file(files.last());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(message.Content);
        }
        const QByteArray out = RunPython(QStringLiteral(
            "import sys, email, email.policy, urllib.parse, dkim, re\n"
            "txt = ''.join(re.findall(r'\"([^\"]*)\"', sys.argv[1])).encode()\n"
            "for path in sys.argv[2:]:\n"
            "    raw = open(path, 'rb').read()\n"
            "    signed = dkim.verify(raw, dnsfunc=lambda name, timeout=5: txt)\n"
            "    m = email.message_from_bytes(raw, policy=email.policy.default)\n"
            "    links = [u.strip().strip('<>') for u in str(m['List-Unsubscribe']).split(',')]\n"
            "    q = urllib.parse.parse_qs(urllib.parse.urlsplit(links[0]).query)\n"
            "    mq = urllib.parse.parse_qs(urllib.parse.urlsplit(links[1]).query)\n"
            "    print('|'.join([links[0], q['e'][0], q['n'][0], q['c'][0], urllib.parse.urlsplit(links[1]).path,\n"
            "                    mq['subject'][0], mq['body'][0], str(m['List-Unsubscribe-Post']), str(m['List-Id']),\n"
            "                    str(m['Reply-To']), str(len(m.defects)),\n"
            "                    str(signed and 'list-unsubscribe' in str(m['DKIM-Signature']).lower())]))\n"),
                                         QStringList{record} + files);
        const QStringList lines = QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        const QString common = "leave@example.org|unsubscribe|%1|List-Unsubscribe=One-Click|"
                               "Members' newsletter <news.example.org>|office@example.org|0|True";
        QCOMPARE(lines[0], "https://news.example.org/leave?e=a%2Bb%40example.org&n=J%C3%BCrgen%20Gro%C3%9F&c=x%26y%20z|"
                           "a+b@example.org|Jürgen Groß|x&y z|" + common.arg("a+b@example.org"));
        QCOMPARE(lines[1].section('|', 1), "anna@example.org|Anna|7|" + common.arg("anna@example.org"));

        form->SaveSettings();
        QCOMPARE(RawSettings().value("Settings/Unsubscribe URL").toString(),
                 QStringLiteral("https://news.example.org/leave?e=%E&n=%N&c={CODE}"));
        QCOMPARE(RawSettings().value("Settings/List ID").toString(),
                 QStringLiteral("Members' newsletter <news.example.org>"));
    }

    // Addresses on the list in other case, with blanks and comments, are counted by the summary, passed over by
    // the run as SKIPPED with the reason in REPLY, and never reach the server; a line that is no address is counted.
    void suppressionList() {
        const QString table = Path("members.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)",
                  Rows({"Anna|anna@example.org", "Carl| Carl@Example.ORG ", "Eva|eva@example.org"}));
        QFile list(Path("suppressed.txt"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write("# left the list\n\n   ANNA@example.org  \r\ncarl@example.org # asked on 2026-03-01\nnobody@x.org\n"
                   "Eva Berg");
        list.close();
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = Ready(sink, table, [&](QWidget& f) { SetList(f, "edtSuppressionList", list.fileName()); });

        const TPreflightSummary summary(form->PreflightMailing());
        QCOMPARE(summary.Suppressed(), 2);
        QCOMPARE(summary.ToSend(false), 1);
        const auto lines = summary.Lines(false);
        QVERIFY(std::find(lines.begin(), lines.end(), std::pair<std::string, std::string>{"On the suppression list:",
                                                                                           "2"}) != lines.end());
        // A line that is no address suppresses nobody: the summary says so.
        QVERIFY(std::find(lines.begin(), lines.end(),
                          std::pair<std::string, std::string>{"Lines of the suppression list that are no address:",
                                                              "1"}) != lines.end());
        QCOMPARE(summary.ToLookAt().size(), size_t(2));
        QCOMPARE(summary.ToLookAt()[1].Reason, std::string("on the suppression list"));

        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(sink.FirstRecipients(), QStringList{"eva@example.org"});
        QCOMPARE(LedgerRows(), (QStringList{"anna@example.org|SKIPPED|on the suppression list",
                                            "Carl@Example.ORG|SKIPPED|on the suppression list",
                                            "eva@example.org|SENT|" + LedgerRows().value(2).section('|', 2)}));
    }

    // Only "mailbox does not exist" refusals are offered, after a confirming list; a refusal for another reason
    // is not. Answering No adds nothing; Yes appends them, and the next summary counts them.
    void hardBouncesOffered() {
        const QString table = Path("bounces.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)",
                  Rows({"Anna|anna@example.org", "Gone|gone@example.org", "Full|full@example.org",
                        "Lost|lost@example.org"}));
        SmtpSink sink({"full@example.org"});
        sink.SetOptions({"--no-such-user", "gone@example.org", "--no-such-user", "lost@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString path = Path("suppressed.txt");
        QFile list(path);
        QVERIFY(list.open(QIODevice::WriteOnly)); // a new, empty list
        list.close();
        auto form = Ready(sink, table, [&](QWidget& f) { SetList(f, "edtSuppressionList", path); });
        QPushButton* add = Find<QPushButton>(*form, "btnAddBounces");
        QVERIFY(!add->isEnabled());
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(form->HardBounces(), (std::vector<std::string>{"gone@example.org", "lost@example.org"}));
        QVERIFY(add->isEnabled());

        auto no = AnswerNextBox("&No");
        add->click();
        QVERIFY(no->Shown);
        QVERIFY(no->Text.contains("gone@example.org") && no->Text.contains("lost@example.org"));
        QVERIFY(!no->Text.contains("full@example.org"));
        QCOMPARE(QFileInfo(path).size(), 0);

        auto yes = AnswerNextBox("&Yes");
        add->click();
        QVERIFY(yes->Shown);
        QVERIFY(list.open(QIODevice::ReadOnly));
        QCOMPARE(list.readAll(), QByteArray("gone@example.org\nlost@example.org\n"));
        QVERIFY(!add->isEnabled());

        Find<QPushButton>(*form, "btnBack")->click();
        Find<QPushButton>(*form, "btnNext")->click();
        QCOMPARE(TPreflightSummary(form->PreflightMailing()).Suppressed(), 2);
    }

    // Three connections chosen in the Security dialog: the window's run uses them, every record arrives once,
    // and page 5 ends with none open.
    void connectionsFromTheDialog() {
        const QString table = Path("connections.dbf");
        QStringList rows;
        for (int i = 1; i <= 12; ++i)
            rows << QStringLiteral("Member %1|member%1@example.org").arg(i);
        MakeTable(table, "NAME C(20); EMAIL C(40)", Rows(rows));
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        auto form = Ready(sink, table, [](QWidget& f) { Find<QSpinBox>(f, "spnConnections")->setValue(3); });
        Find<QPushButton>(*form, "btnNext")->click();
        QStringList delivered = sink.FirstRecipients();
        delivered.sort();
        QStringList expected;
        for (int i = 1; i <= 12; ++i)
            expected << QStringLiteral("member%1@example.org").arg(i);
        expected.sort();
        QCOMPARE(delivered, expected);
        QCOMPARE(Find<QLabel>(*form, "lblConnections")->text(), QStringLiteral("Connections: 0 of 3"));
    }

    // The check refuses what cannot work, in a sentence that says why; "Show DNS record" prints the TXT record.
    void checkRefuses_data() {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("says");
        QTest::newRow("http link") << "edtUnsubscribeURL" << "http://example.org/u?e=%E" << "not http://";
        QTest::newRow("unknown field") << "edtUnsubscribeURL" << "https://example.org/u?c={NOPE}" << "{NOPE}";
        QTest::newRow("list id") << "edtListID" << "News <news>" << "with a dot";
        QTest::newRow("short key") << "edtDkimKeyFile" << "short.pem" << "2048";
        QTest::newRow("domain") << "edtDkimDomain" << "exa mple.org" << "domain";
        QTest::newRow("missing list") << "edtSuppressionList" << "none.txt" << "Can't read the suppression list";
    }

    void checkRefuses() {
        QFETCH(QString, edit);
        QFETCH(QString, value);
        QFETCH(QString, says);
        QProcess openssl;
        openssl.setWorkingDirectory(FDir.path());
        for (const auto& [file, bits] : {std::pair{"rsa.pem", "2048"}, std::pair{"short.pem", "1024"}}) {
            if (QFile::exists(Path(file)))
                continue;
            openssl.start("openssl", {"genpkey", "-algorithm", "RSA", "-pkeyopt",
                                      QStringLiteral("rsa_keygen_bits:") + bits, "-out", file});
            QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);
        }
        const QString table = Path("check.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)", Rows({"Anna|anna@example.org"}));
        auto form = FilledWizard(FDir.path(), table, QStringLiteral("127.0.0.1:25"));
        SetList(*form, "edtDkimDomain", "example.org");
        SetList(*form, "edtDkimSelector", "mail");
        SetList(*form, "edtDkimKeyFile", Path("rsa.pem"));
        QVERIFY(form->ListDlg->DnsRecordText().contains("mail._domainkey.example.org. IN TXT ( \"v=DKIM1; k=rsa; p="));
        const bool file = value.endsWith(".pem") || value.endsWith(".txt");
        SetList(*form, qPrintable(edit), file ? Path(qPrintable(value)) : value);
        const QString warning = CheckWarning(*form);
        QVERIFY2(warning.contains(says), qPrintable(warning));
    }

    // More than 1,000 messages (not 1,000) without an https link, and a DKIM domain that is not the sender's (nor its
    // parent), are warned about; the summary counts stay as they were.
    void summaryWarnings() {
        const QString table = Path("many.dbf");
        QStringList rows;
        for (int i = 0; i < 1001; ++i)
            rows << QStringLiteral("N|n%1@mail.example.org").arg(i);
        MakeTable(table, "NAME C(20); EMAIL C(40)", Rows(rows));
        TPreflightMailing mailing;
        mailing.TablePath = table.toStdString();
        mailing.EmailField = "EMAIL";
        mailing.Body = "Hi";
        mailing.FromDomain = "mail.example.org";
        mailing.DkimDomain = "example.org";
        const TPreflightSummary aligned(mailing);
        QCOMPARE(aligned.Warnings(false).size(), size_t(1));
        QVERIFY(aligned.Warnings(false)[0].starts_with("1001 messages without an unsubscribe link"));
        mailing.DkimDomain = "other.example";
        mailing.ScopeTo = 1000;
        const TPreflightSummary foreign(mailing);
        QCOMPARE(foreign.Warnings(false).size(), size_t(1));
        QVERIFY(foreign.Warnings(false)[0].starts_with("Messages are signed for other.example"));
    }
};

QTEST_MAIN(TestBulkMail)
#include "tst_bulkmail.moc"
