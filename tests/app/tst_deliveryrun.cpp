// The mailing run without a window: how each result is classified, retried and written to the ledger, the
// throttle, the ledger's reading for resume and retry, and rows that survive a killed process. Servers are
// aiosmtpd processes; the tables are read back with python3-dbfread.
#include "bench/CpuTime.h"
#include "tests/app/RunBench.h"
#include "tests/app/WizardFixture.h"
#include "tests/servers/SmtpSink.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

namespace {

using namespace std::chrono_literals;

// The given fields of each ledger row, joined by "|", as dbfread reads them.
QStringList LedgerRows(const QString& folder, const QString& fields = "RUN RECNO E_MAIL STATUS CODE ATTEMPT") {
    const QByteArray out = RunPython(QStringLiteral("import dbfread, sys\n"
                                                    "for r in dbfread.DBF(sys.argv[1], encoding='latin-1'):\n"
                                                    "    print('|'.join(str(r[f]) for f in sys.argv[2].split()))\n"),
                                     {QDir(folder).filePath("mail_sent.dbf"), fields});
    return QString::fromLatin1(out).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestDeliveryRun : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;

    QString MakeRecipients(const QString& name, const QStringList& addresses) {
        QList<QStringList> rows;
        for (int i = 0; i < addresses.size(); ++i)
            rows.append({QStringLiteral("Person %1").arg(i + 1), addresses[i]});
        const QString path = FDir.filePath(name + ".dbf");
        MakeTable(path, "NAME C(20); EMAIL C(40)", rows);
        return path;
    }

    QString Folder(const QString& name) {
        QDir(FDir.path()).mkpath(name);
        return FDir.filePath(name);
    }

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    // One run meets every result: sent, refused, deferred then sent on the retry, unknown after a drop that
    // follows the final dot, two skipped addresses and the user's stop.
    void everyStatus() {
        SmtpSink sink({"refuse@example.org"});
        sink.SetOptions({"--defer", "later@example.org", "--drop-after-dot", "drop@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString table =
            MakeRecipients("every", {"first@example.org", "refuse@example.org", "later@example.org", "drop@example.org",
                                     "  ", "no-at-sign.example.org", "seventh@example.org", "eighth@example.org"});
        const QString folder = Folder("every");
        TRunBench bench(table, folder, sink.Port());
        // The retry falls due at once: it goes out before the next record, whatever the machine's speed.
        TMailingRun run(bench.Client, bench.Recipients, bench.Log, bench.Ledger, bench.View, bench.Settings({0ms}));
        bench.View.OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #7"))
                run.RequestStop();
        };
        run.Execute();

        QCOMPARE(LedgerRows(folder),
                 (QStringList{"1|1|first@example.org|SENT|250|1", "1|2|refuse@example.org|REFUSED|550|1",
                              "1|3|later@example.org|DEFERRED|451|1", "1|3|later@example.org|SENT|250|2",
                              "1|4|drop@example.org|UNKNOWN|None|1", "1|5||SKIPPED|None|1",
                              "1|6|no-at-sign.example.org|SKIPPED|None|1", "1|7|seventh@example.org|SENT|250|1",
                              "1|8|eighth@example.org|ABORTED|None|1"}));
        const TRunCounts& counts = run.Counts();
        QCOMPARE(counts.ByStatus, (std::array<int, 6>{3, 1, 1, 1, 2, 1}));
        QCOMPARE(counts.Errors, 3); // the refusal, the deferral and the lost confirmation
        QCOMPARE(bench.View.StopQuestions, 1);
        QCOMPARE(bench.View.Lines.last(), QStringLiteral("Refused 1, deferred 1, unknown 1, skipped 2, aborted 1."));
        QVERIFY(bench.View.Lines.contains("Record 6 skipped: no \"@\" in the e-mail address."));

        // The deferred message arrived once, the one without a confirmation was not sent again.
        QCOMPARE(sink.FirstRecipients(),
                 (QStringList{"first@example.org", "later@example.org", "drop@example.org", "seventh@example.org"}));
        // Each SENT row names the Message-ID of the message the server stored.
        const QRegularExpression header("^Message-ID: (<[^>]+>)\r?$", QRegularExpression::MultilineOption);
        QStringList storedIds;
        for (const SmtpSink::Message& message : sink.Messages())
            storedIds << "SENT|" + header.match(QString::fromLatin1(message.Content)).captured(1);
        storedIds.removeAt(2); // the unconfirmed one
        QVERIFY(!storedIds.contains("SENT|"));
        QCOMPARE(LedgerRows(folder, "STATUS MESSAGE_ID").filter("SENT|"), storedIds);
        // mail_log.dbf keeps its rows: the server's replies and the abort.
        const QStringList log = ReadTable(QDir(folder).filePath("mail_log.dbf")).mid(1);
        QCOMPARE(log.size(), 4);
        QVERIFY2(log[0].startsWith("550 Mailbox unavailable"), qPrintable(log[0]));
        QVERIFY2(log[1].startsWith("451 4.7.1 Try again later"), qPrintable(log[1]));
        QCOMPARE(log[2], QStringLiteral("554 connection closed|Person 4|drop@example.org"));
        QCOMPARE(log[3], QStringLiteral("User aborted at position 7.|Person 8|eighth@example.org"));
    }

    // Attempts that stay deferred end after the configured retries, numbered in the ledger. A 421 closes the
    // service: no new connection before the retry's pause is over, so the deferred message goes again before the
    // next record does (after a 451 the next record would go at once). The table holds the rows' addresses.
    void retries_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QList<int>>("pauses");
        QTest::addColumn<QString>("rowText");
        QTest::newRow("451 three times") << "--defer busy@example.org --defer busy@example.org --defer busy@example.org"
                                         << QList<int>{0, 0}
                                         << "1|1|busy@example.org|DEFERRED|451|1 1|1|busy@example.org|DEFERRED|451|2 "
                                            "1|1|busy@example.org|DEFERRED|451|3 1|2|calm@example.org|SENT|250|1";
        QTest::newRow("421 closes") << "--close-421 busy@example.org" << QList<int>{300}
                                    << "1|1|first@example.org|SENT|250|1 1|2|busy@example.org|DEFERRED|421|1 "
                                       "1|2|busy@example.org|SENT|250|2 1|3|third@example.org|SENT|250|1";
    }
    void retries() {
        QFETCH(QString, options);
        QFETCH(QList<int>, pauses);
        QFETCH(QString, rowText);
        const QStringList rows = rowText.split(' ');
        QStringList addresses;
        for (const QString& row : rows)
            if (!addresses.contains(row.section('|', 2, 2)))
                addresses << row.section('|', 2, 2);
        SmtpSink sink;
        sink.SetOptions(options.split(' '));
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString name = QTest::currentDataTag();
        const QString folder = Folder(name);
        TRunBench bench(MakeRecipients(name, addresses), folder, sink.Port());
        std::vector<std::chrono::milliseconds> retries;
        for (int pause : pauses)
            retries.emplace_back(pause);
        TMailingRun run(bench.Client, bench.Recipients, bench.Log, bench.Ledger, bench.View, bench.Settings(retries));
        run.Execute();
        QCOMPARE(LedgerRows(folder), rows);
        QCOMPARE(sink.Count(), int(rows.filter("|SENT|").size()));
        QCOMPARE(bench.View.Lines.filter("Will try again at").size(), pauses.size());
        QCOMPARE(run.Counts().Errors, int(rows.filter("|DEFERRED|").size()));
    }

    void queueIds_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("id");
        QTest::newRow("queued as") << "250 2.0.0 Ok: queued as 4F3A21C0D3"
                                   << "4F3A21C0D3";
        QTest::newRow("id=") << "250 OK id=1qXyZ-0004Ab-Cd"
                             << "1qXyZ-0004Ab-Cd";
        QTest::newRow("none") << "250 Message accepted for delivery"
                              << "";
    }
    void queueIds() {
        QFETCH(QString, reply);
        QFETCH(QString, id);
        QCOMPARE(QString::fromStdString(TDeliveryLedger::QueueId(reply.toStdString())), id);
    }

    // What a new run reads: where the last run stopped, whose latest attempt failed, who already has this message.
    void historyForResumeAndRetry() {
        const QString folder = Folder("history");
        TXbaseEnv env;
        TXbaseEngine engine;
        TDeliveryLedger ledger;
        ledger.Open(engine, folder);
        const auto row = [&](int run, int record, TDeliveryStatus status, const std::string& key) {
            TDeliveryLedger::TEntry entry;
            entry.Run = run;
            entry.When = QDateTime::currentDateTime();
            entry.RecNo = record;
            entry.Status = status;
            entry.MessageKey = key;
            ledger.Append(entry);
        };
        row(1, 1, TDeliveryStatus::Sent, "old");
        row(1, 2, TDeliveryStatus::Refused, "old");
        row(2, 1, TDeliveryStatus::Sent, "new");
        row(2, 2, TDeliveryStatus::Sent, "new");     // refused before, sent now: no longer failed
        row(2, 3, TDeliveryStatus::Deferred, "new"); // its retries never came
        row(2, 4, TDeliveryStatus::Unknown, "new");
        row(2, 5, TDeliveryStatus::Skipped, "new");
        row(2, 6, TDeliveryStatus::Aborted, "new"); // the first record run 2 did not take up
        TDeliveryLedger::THistory history = ledger.History("new");
        QCOMPARE(history.LastRun, 2);
        QCOMPARE(history.ResumeFrom, 6);
        QCOMPARE(history.Failed, (std::set<int>{3, 4}));
        QCOMPARE(history.SentSameMessage, (std::set<int>{1, 2}));
        QCOMPARE(ledger.History("old").SentSameMessage, (std::set<int>{1}));

        // A run that went to its end resumes after its last record.
        row(3, 7, TDeliveryStatus::Sent, "new");
        QCOMPARE(ledger.History("new").ResumeFrom, 8);
    }

    // 120 messages a minute for five seconds: at most 11 reach the server, and the pauses cost no CPU.
    void throttleSpacesMessages() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        QStringList addresses;
        for (int i = 1; i <= 40; ++i)
            addresses << QStringLiteral("person%1@example.org").arg(i);
        TRunBench bench(MakeRecipients("throttle", addresses), Folder("throttle"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        settings.MaxPerMinute = 120;
        TMailingRun run(bench.Client, bench.Recipients, bench.Log, bench.Ledger, bench.View, settings);
        // The stop comes from the event loop while the run pauses between messages.
        QTimer::singleShot(5000, [&run] { run.RequestStop(); });
        const double cpuBefore = CpuSeconds();
        run.Execute();
        const double cpu = CpuSeconds() - cpuBefore;

        QVERIFY2(sink.Count() <= 11, qPrintable(QString::number(sink.Count())));
        QVERIFY2(sink.Count() >= 8, qPrintable(QString::number(sink.Count()))); // and it did send meanwhile
        QCOMPARE(run.Counts()[TDeliveryStatus::Sent], sink.Count());
        QCOMPARE(run.Counts()[TDeliveryStatus::Aborted], 1);
        // A busy wait would burn the whole five seconds.
        QVERIFY2(cpu < 1.5, qPrintable(QString::number(cpu)));
    }

    // kill -9 in the middle of a run: every message the server kept has its SENT row, but for at most the one
    // whose reply was on its way when the process died.
    void rowsSurviveAKill() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        QStringList addresses;
        for (int i = 1; i <= 200; ++i)
            addresses << QStringLiteral("person%1@example.org").arg(i);
        const QString table = MakeRecipients("killed", addresses);
        const QString folder = Folder("killed");
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(QUORVEL_DELIVERYRUN_CHILD), {table, folder, QString::number(sink.Port())});
        QVERIFY(child.waitForStarted(10000));
        QVERIFY(child.waitForReadyRead(10000));
        QTRY_VERIFY_WITH_TIMEOUT(sink.Count() >= 12, 20000);
        child.kill(); // SIGKILL: no destructor, no flush, no close
        QVERIFY(child.waitForFinished(10000));

        const QStringList kept = sink.FirstRecipients();
        QStringList sent;
        for (const QString& row : LedgerRows(folder)) {
            const QStringList fields = row.split('|');
            QCOMPARE(fields[3], QStringLiteral("SENT"));
            sent << fields[2];
        }
        QVERIFY2(kept.size() - sent.size() == 0 || kept.size() - sent.size() == 1,
                 qPrintable(QStringLiteral("%1 kept, %2 rows").arg(kept.size()).arg(sent.size())));
        QCOMPARE(sent, kept.mid(0, sent.size()));
        QVERIFY(sent.size() >= 12 - 1);
    }
};

QTEST_MAIN(TestDeliveryRun)
#include "tst_deliveryrun.moc"
