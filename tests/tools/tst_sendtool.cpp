// quorvel-send as cron runs it: settings the window saved, a real aiosmtpd, no display; its exit codes, a stop by
// SIGTERM and the resume after it, a dry run that composes what a real run sends, one run per ledger.
#include "tests/servers/SmtpSink.h"
#include "tests/wizard/WizardFixture.h"

#include "oauth/OAuthError.h"
#include "oauth/RefreshTokenFile.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

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

    static int Mode(const QString& path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
    }

    static bool WriteFile(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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
        // What holds addresses is the user's alone, whatever the umask.
        for (const QString& name : {QString("eml/5.eml"), QString("mail_log.dbf"), QString("mail_sent.dbf")})
            QCOMPARE(Mode(folder.filePath(name)), 0600);
    }

    // Settings another user could change, and values no window stores, stop the check with a sentence that names
    // the file or setting; a DKIM key others can read is a warning. "%d" in a value is the case's folder; file is
    // the one that gets mode and owner (settings, key or html).
    void untrustedSettings_data() {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("owner");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("said");
        const QStringList dkim{"Settings/DKIM Domain=example.org", "Settings/DKIM Selector=s1",
                               "Settings/DKIM Key File=%d/key.pem"};
        QTest::newRow("settings writable by the group")
            << QStringList() << "settings" << 0664 << -1 << 2
            << "Other users can change the settings file %s: it is not used. Allow only yourself to change it: "
               "chmod go-w %s";
        QTest::newRow("settings of another user")
            << QStringList() << "settings" << 0600 << 65534 << 2
            << "The settings file %s belongs to another user, who could change it: it is not used.";
        QTest::newRow("DKIM key writable by others")
            << dkim << "key" << 0602 << -1 << 2 << "Other users can change the DKIM key file %d/key.pem";
        QTest::newRow("DKIM key readable by others")
            << dkim << "key" << 0644 << -1 << 0
            << "Warning: Other users can read the DKIM key file %d/key.pem and sign mail as example.org.";
        QTest::newRow("HTML version endless") << QStringList{"Message/HTML File=/dev/zero"} << "" << -1 << -1 << 2
                                              << "The HTML version /dev/zero cannot be read: not an ordinary file.";
        QTest::newRow("HTML version too large") << QStringList{"Message/HTML File=%d/big.html"} << "" << -1 << -1 << 2
                                                << "The HTML version %d/big.html is larger than 10 MB";
        QTest::newRow("file for everyone from /proc")
            << QStringList{"Message/Attachments=/proc/self/environ"} << "" << -1 << -1 << 2
            << "The file to send with every message cannot be used: attachment cannot be read: /proc/self/environ "
               "(not an ordinary file).";
        QTest::newRow("attachment field without folder")
            << QStringList{"Message/Attachment Field=NAME"} << "" << -1 << -1 << 2
            << "The attachment field NAME names files inside the attachment folder, but no attachment folder is set";
        QTest::newRow("Security -1") << QStringList{"Settings/Security=-1"} << "" << -1 << -1 << 2
                                     << "The setting Security is -1, which is none of the choices";
        QTest::newRow("Login 9") << QStringList{"Settings/Login=9"} << "" << -1 << -1 << 2
                                 << "The setting Login is 9, which is none of the choices";
    }
    void untrustedSettings() {
        QFETCH(QStringList, values);
        QFETCH(QString, file);
        QFETCH(int, mode);
        QFETCH(int, owner);
        QFETCH(int, exit);
        QFETCH(QString, said);
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink, [](QWidget& form) { SetScope(form, "1", "1"); });
        QTemporaryDir folder;
        const QString program = Program(folder);
        QCOMPARE(QProcess::execute("openssl", {"genpkey", "-algorithm", "ED25519", "-out", folder.filePath("key.pem")}),
                 0);
        QFile big(folder.filePath("big.html"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(10 * 1024 * 1024 + 1));
        const QString settings = RawSettings().fileName();
        {
            QSettings raw = RawSettings();
            for (const QString& value : values)
                raw.setValue(value.section('=', 0, 0), value.section('=', 1).replace("%d", folder.path()));
        }
        const QString target = file == "settings" ? settings : folder.filePath("key.pem");
        const QByteArray name = QFile::encodeName(target);
        if (mode >= 0)
            QCOMPARE(::chmod(name.constData(), mode_t(mode)), 0);
        if (owner >= 0)
            QCOMPARE(::chown(name.constData(), uid_t(owner), gid_t(owner)), 0);
        const TRun run = Send(program, {"--dry-run"});
        if (file == "settings") // the next case writes the settings again
            QCOMPARE(::chown(name.constData(), ::getuid(), ::getgid()) | ::chmod(name.constData(), 0600), 0);
        QCOMPARE(run.Exit, exit);
        said.replace("%d", folder.path()).replace("%s", settings);
        QVERIFY2((exit == 0 ? run.Out : run.Err).contains(said), qPrintable(run.Out + run.Err));
    }

    // A link or another user's file planted under a name the program writes is never written through or cut
    // short: the lock beside the ledger, a saved message (refused, or with --replace the link itself replaced),
    // the refresh-token file.
    void plantedFilesAreNotWrittenThrough_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("lock is a link") << "lock";
        QTest::newRow("lock of another user") << "lock owner";
        QTest::newRow("saved message is a link") << "eml";
        QTest::newRow("saved message replaced") << "eml replace";
        QTest::newRow("token file is a link") << "token";
    }
    void plantedFilesAreNotWrittenThrough() {
        QFETCH(QString, kind);
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        SaveFromWindow(sink, [](QWidget& form) { SetScope(form, "5", "5"); });
        QTemporaryDir folder;
        const QString program = Program(folder);
        const QString victim = folder.filePath("victim.txt");
        QVERIFY(WriteFile(victim, "precious\n"));
        const QString lock = folder.filePath("mail_sent.lock");
        const QString eml = folder.filePath("eml/5.eml");
        if (kind == "lock") {
            QVERIFY(QFile::link(victim, lock));
        } else if (kind == "lock owner") {
            QVERIFY(WriteFile(lock, "4711\n"));
            QCOMPARE(::chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
        } else if (kind.startsWith("eml")) {
            QVERIFY(QDir().mkpath(folder.filePath("eml")) && QFile::link(victim, eml));
        }
        if (kind == "token") {
            const QString token = folder.filePath("token");
            QVERIFY(QFile::link(victim, token));
            QVERIFY_THROWS_EXCEPTION(EOAuthError, RefreshTokenFile::Write(token, "new-token"));
            QVERIFY(QFileInfo(token).isSymLink());
            const QString plain = folder.filePath("plain-token");
            RefreshTokenFile::Write(plain, "new-token");
            QCOMPARE(RefreshTokenFile::Read(plain), "new-token");
            QCOMPARE(Mode(plain), 0600);
        } else {
            QStringList args{"--dry-run", "--save-dir", folder.filePath("eml")};
            if (kind == "eml replace")
                args << "--replace";
            const TRun run = Send(program, args);
            if (kind.startsWith("lock")) {
                QCOMPARE(run.Exit, 2);
                QVERIFY2(run.Err.startsWith("The lock file " + lock + " is not one this program made"),
                         qPrintable(run.Err));
                QVERIFY(QFileInfo(lock).isSymLink() == (kind == "lock"));
                QVERIFY(!QFileInfo::exists(eml));
            } else if (kind == "eml") {
                QCOMPARE(run.Exit, 2);
                QCOMPARE(run.Err, eml + " exists already: give --replace to write over the messages saved before, "
                                        "or choose another folder.\n");
                QVERIFY(QFileInfo(eml).isSymLink());
            } else {
                QCOMPARE(run.Exit, 0);
                QVERIFY(!QFileInfo(eml).isSymLink());
                QCOMPARE(Mode(eml), 0600);
            }
        }
        QFile read(victim);
        QVERIFY(read.open(QIODevice::ReadOnly));
        QCOMPARE(read.readAll(), "precious\n");
    }
};

QTEST_MAIN(TestSendTool)
#include "tst_sendtool.moc"
