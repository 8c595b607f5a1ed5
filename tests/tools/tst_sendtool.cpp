// quorvel-send as cron runs it: settings the window saved, a real aiosmtpd, no display; its exit codes, a stop by
// SIGTERM and the resume after it, a dry run that composes what a real run sends, one run per ledger.
#include "tests/servers/SmtpSink.h"
#include "tests/wizard/WizardFixture.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestSendTool : public QObject {
    Q_OBJECT

    QTemporaryDir FSettings;
    QString FTable;

    struct TRun {
        int Exit = -1;
        QString Out;
        QString Err;
    };

    // The program is copied into a fresh folder of its own: mail_log.dbf and the ledger go beside it.
    QString Program(const QTemporaryDir& folder) const {
        const QString copy = folder.filePath("quorvel-send");
        QFile::remove(copy);
        QFile::copy(QCoreApplication::applicationDirPath() + "/quorvel-send", copy);
        return copy;
    }

    // Started as cron would: no display, no Qt platform, the settings file the window saved.
    void Start(QProcess& process, const QString& program, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        process.setProcessEnvironment(env);
        process.start(program, QStringList{"--settings", RawSettings().fileName()} + args);
    }

    TRun Send(const QString& program, const QStringList& args = {}) const {
        QProcess process;
        Start(process, program, args);
        process.waitForFinished(120000);
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    // The window saves its settings for a run of table against the sink; change edits the window first.
    void SaveFromWindow(const SmtpSink& sink, const std::function<void(QWidget&)>& change = {}) const {
        QFile::remove(RawSettings().fileName()); // each test starts from the window's defaults
        auto form = FilledWizard(QString(), FTable, "127.0.0.1:" + sink.PortText(), 0);
        if (change)
            change(*form);
        form->SaveSettings();
        form->SettingsChanged = false;
        form->close();
    }

    static QStringList LedgerRows(const QTemporaryDir& folder) {
        QStringList rows = ReadTable(folder.filePath("mail_sent.dbf"));
        rows.removeFirst(); // the field list
        return rows;
    }

private slots:
    void initTestCase() {
        QVERIFY(FSettings.isValid());
        UseTemporarySettings(FSettings);
        FTable = FSettings.filePath("members.dbf");
        QStringList rows;
        for (int i = 1; i <= 24; ++i)
            rows << QStringLiteral("Member %1|m%1@example.org").arg(i);
        MakeTable(FTable, "NAME C(20); EMAIL C(40)", Rows(rows));
    }

    // Each case saves the settings it needs: a login one case set must not reach the next.
    void init() { RawSettings().clear(); }

    // A whole run, then the same message again: refused without a choice, passed over with --skip-sent.
    void wholeRunAndSentAlready() {
        SmtpSink sink({"m3@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink, [](QWidget& form) { SetScope(form, "1", "4"); });
        QTemporaryDir folder;
        const QString program = Program(folder);

        TRun run = Send(program);
        QCOMPARE(run.Exit, 1); // m3 refused
        QVERIFY2(run.Out.contains("Messages to send: 4\n"), qPrintable(run.Out));
        QCOMPARE(sink.FirstRecipients(), QStringList({"m1@example.org", "m2@example.org", "m4@example.org"}));
        QCOMPARE(sink.Read(1).Content.contains("Dear Member 1,"), true);
        const QStringList rows = LedgerRows(folder);
        QCOMPARE(rows.size(), 4);
        QVERIFY(rows[0].contains("|1|m1@example.org|SENT|250|"));
        QVERIFY(rows[2].contains("|3|m3@example.org|REFUSED|550|"));

        run = Send(program, {"--retry-failed"});
        QCOMPARE(run.Exit, 1); // still refused; nobody else mailed twice
        QCOMPARE(sink.Count(), 3);
        run = Send(program);
        QCOMPARE(run.Exit, 2);
        QVERIFY2(run.Err.contains("3 recipients of this run already got this message") &&
                     run.Err.contains("--resend-sent") && run.Err.contains("--skip-sent"),
                 qPrintable(run.Err));
        QCOMPARE(sink.Count(), 3);
        QCOMPARE(Send(program, {"--skip-sent", "--from", "1", "--to", "2"}).Exit, 0);
        QCOMPARE(sink.Count(), 3);
    }

    // The check's failure in the window's words, a wrong --connections, and a login the server refuses.
    void checkAndLoginFailures() {
        SmtpSink sink;
        sink.SetOptions({"--user", "anna", "--password", "right", "--auth-clear"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink);
        QTemporaryDir folder;
        const QString program = Program(folder);
        const TRun missing = Send(program, {"--table", folder.filePath("none.dbf")});
        QCOMPARE(missing.Exit, 2);
        QCOMPARE(missing.Err, "Can't find recipient table:\n" + folder.filePath("none.dbf") + "\n");
        for (const QString bad : {"9", "0", "two"}) {
            const TRun wrong = Send(program, {"--connections", bad});
            QCOMPARE(wrong.Exit, 2);
            QCOMPARE(wrong.Err, "--connections needs a number from 1 to 8, not \"" + bad + "\".\n");
        }

        QSettings(RawSettings().fileName(), QSettings::IniFormat).setValue("Settings/User Name", "anna");
        QSettings(RawSettings().fileName(), QSettings::IniFormat).setValue("Settings/Allow Clear Password", "1");
        QVERIFY(Send(program).Err.contains("needs a password"));
        const TRun refused = Send(program, {"--password-command", "echo wrong; echo right"});
        QCOMPARE(refused.Exit, 4);
        QCOMPARE(sink.Count(), 0);
    }

    // SIGTERM mid-run ends it with an ABORTED row (exit 3); a second program on the ledger meanwhile is refused;
    // --resume then sends the rest, nobody twice and nobody lost.
    void stopAndResume() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink, [](QWidget& form) { Find<QLineEdit>(form, "edtMaxPerMinute")->setText("300"); });
        QTemporaryDir folder;
        const QString program = Program(folder);
        QProcess first;
        Start(first, program, {});
        QTRY_VERIFY_WITH_TIMEOUT(sink.Count() >= 3, 30000);

        const TRun second = Send(program);
        QCOMPARE(second.Exit, 2);
        QVERIFY2(second.Err.contains("in use by quorvel-send"), qPrintable(second.Err));

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 3);
        QVERIFY(LedgerRows(folder).last().contains("|ABORTED|"));
        const int before = sink.Count();
        QVERIFY(before < 24);

        QCOMPARE(Send(program, {"--resume", "--quiet"}).Exit, 0);
        QStringList got = sink.FirstRecipients();
        QCOMPARE(got.size(), 24);
        got.removeDuplicates();
        QCOMPARE(got.size(), 24);
    }

    // A dry run sends nothing; its files are the messages a real run stores, but for Date and Message-ID.
    void dryRunComposesWhatIsSent() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink, [](QWidget& form) { SetScope(form, "5", "6"); });
        QTemporaryDir folder;
        const QString program = Program(folder);
        const QString saved = folder.filePath("eml");
        QCOMPARE(Send(program, {"--dry-run", "--save-dir", saved}).Exit, 0);
        QCOMPARE(sink.Count(), 0);
        QCOMPARE(Send(program).Exit, 0);
        const QRegularExpression varying("^(Date|Message-ID): [^\r]*\r\n", QRegularExpression::MultilineOption);
        for (int i : {1, 2}) {
            QFile file(saved + QStringLiteral("/%1.eml").arg(4 + i));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromLatin1(file.readAll()).remove(varying),
                     QString::fromLatin1(sink.Read(i).Content).remove(varying));
        }
    }
};

QTEST_MAIN(TestSendTool)
#include "tst_sendtool.moc"
