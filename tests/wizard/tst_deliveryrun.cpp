// The mailing run without a window: how each result is classified, retried and written to the ledger, the
// throttle, the ledger's reading for a new run, and rows that survive a killed process. Servers are aiosmtpd
// processes; the tables are read back with python3-dbfread.
#include "bench/CpuTime.h"
#include "tests/wizard/RunBench.h"
#include "tests/wizard/WizardFixture.h"
#include "tests/servers/SmtpSink.h"

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

QStringList Numbered(int count) {
    QStringList addresses;
    for (int i = 1; i <= count; ++i)
        addresses << QStringLiteral("person%1@example.org").arg(i);
    return addresses;
}

} // namespace

class TestDeliveryRun : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;

    // Writes name.dbf with the addresses and makes the folder name for the log and the ledger; the table's path.
    QString Prepare(const QString& name, const QStringList& addresses) {
        QList<QStringList> rows;
        for (int i = 0; i < addresses.size(); ++i)
            rows.append({QStringLiteral("Person %1").arg(i + 1), addresses[i]});
        const QString path = FDir.filePath(name + ".dbf");
        MakeTable(path, "NAME C(20); EMAIL C(40)", rows);
        QDir(FDir.path()).mkpath(name);
        return path;
    }

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    // One run meets every result: sent, refused, deferred then sent on the retry, deferred again when its one
    // retry is spent, unknown after a drop that follows the final dot, two skipped addresses and the user's stop.
    void everyStatus() {
        SmtpSink sink({"refuse@example.org"});
        sink.SetOptions({"--defer", "later@example.org", "--defer", "busy@example.org", "--defer", "busy@example.org",
                         "--drop-after-dot", "drop@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString folder = FDir.filePath("every");
        TRunBench bench(Prepare("every", {"first@example.org", "refuse@example.org", "later@example.org",
                                          "busy@example.org", "drop@example.org", "  ", "no-at-sign.example.org",
                                          "eighth@example.org", "ninth@example.org"}),
                        folder, sink.Port());
        // The retry falls due at once: it goes out before the next record, whatever the machine's speed.
        TMailingRun run = bench.Run(bench.Settings({0ms}));
        bench.View.OnStatus = [&](const QString& status) {
            if (status == QStringLiteral("Sending mail #8"))
                run.RequestStop();
        };
        run.Execute();

        QCOMPARE(LedgerRows(folder),
                 (QStringList{"1|1|first@example.org|SENT|250|1", "1|2|refuse@example.org|REFUSED|550|1",
                              "1|3|later@example.org|DEFERRED|451|1", "1|3|later@example.org|SENT|250|2",
                              "1|4|busy@example.org|DEFERRED|451|1", "1|4|busy@example.org|DEFERRED|451|2",
                              "1|5|drop@example.org|UNKNOWN|None|1", "1|6||SKIPPED|None|1",
                              "1|7|no-at-sign.example.org|SKIPPED|None|1", "1|8|eighth@example.org|SENT|250|1",
                              "1|9|ninth@example.org|ABORTED|None|1"}));
        QCOMPARE(QList<int>(run.Counts().ByStatus.begin(), run.Counts().ByStatus.end()),
                 (QList<int>{3, 1, 3, 1, 2, 1}));
        QCOMPARE(run.Counts().Errors, 5); // the refusal, three deferrals and the lost confirmation
        QCOMPARE(bench.View.StopQuestions, 1);
        QCOMPARE(bench.View.Lines.last(), QStringLiteral("Refused 1, deferred 3, unknown 1, skipped 2, aborted 1."));
        QVERIFY(bench.View.Lines.contains("Record 7 skipped: no \"@\" in the e-mail address."));

        // The deferred message arrived once, the one without a confirmation was not sent again.
        QCOMPARE(sink.FirstRecipients(),
                 (QStringList{"first@example.org", "later@example.org", "drop@example.org", "eighth@example.org"}));
        // Each SENT row names the Message-ID of the message the server stored.
        const QRegularExpression header("^Message-ID: (<[^>]+>)\r?$", QRegularExpression::MultilineOption);
        QStringList storedIds;
        for (const SmtpSink::Message& message : sink.Messages())
            storedIds << "SENT|" + header.match(QString::fromLatin1(message.Content)).captured(1);
        storedIds.removeAt(2); // the unconfirmed one
        QVERIFY(!storedIds.contains("SENT|"));
        QCOMPARE(LedgerRows(folder, "STATUS MESSAGE_ID").filter("SENT|"), storedIds);
    }

    // A 421 closes the service: no new connection before the retry's pause is over, so the deferred message goes
    // again before the next record does (after a 451 the next record would go at once).
    void closedServiceWaitsForTheRetry() {
        SmtpSink sink;
        sink.SetOptions({"--close-421", "busy@example.org"});
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        TRunBench bench(Prepare("closing", {"first@example.org", "busy@example.org", "third@example.org"}),
                        FDir.filePath("closing"), sink.Port());
        bench.Run(bench.Settings({300ms})).Execute();
        QCOMPARE(LedgerRows(FDir.filePath("closing")),
                 (QStringList{"1|1|first@example.org|SENT|250|1", "1|2|busy@example.org|DEFERRED|421|1",
                              "1|2|busy@example.org|SENT|250|2", "1|3|third@example.org|SENT|250|1"}));
    }

    // The queue ID a server names in its reply to the final dot, in either form servers give it.
    void queueIds() {
        const auto id = [](const char* reply) { return QString::fromStdString(TDeliveryLedger::QueueId(reply)); };
        QCOMPARE((QStringList{id("250 2.0.0 Ok: queued as 4F3A21C0D3"), id("250 OK id=1qXyZ-0004Ab-Cd"),
                              id("250 Message accepted for delivery")}),
                 (QStringList{"4F3A21C0D3", "1qXyZ-0004Ab-Cd", ""}));
    }

    // What a new run reads: where the last run stopped, whose latest attempt failed, who already has this message.
    void historyForResumeAndRetry() {
        TXbaseEnv env;
        TXbaseEngine engine;
        TDeliveryLedger ledger;
        ledger.Open(engine, FDir.path());
        using S = TDeliveryStatus;
        const auto row = [&](int run, int record, S status, const char* key) {
            TDeliveryLedger::TEntry entry;
            entry.Run = run;
            entry.When = QDateTime::currentDateTime();
            entry.RecNo = record;
            entry.Status = status;
            entry.MessageKey = key;
            ledger.Append(entry);
        };
        row(1, 1, S::Sent, "old");
        row(1, 2, S::Refused, "old");
        row(2, 1, S::Sent, "new");
        row(2, 2, S::Sent, "new");     // refused before, sent now: no longer failed
        row(2, 3, S::Deferred, "new"); // its retries never came
        row(2, 4, S::Unknown, "new");
        row(2, 5, S::Skipped, "new");
        row(2, 6, S::Aborted, "new"); // the first record run 2 did not take up
        const TDeliveryLedger::THistory history = ledger.History("new");
        QCOMPARE(history.LastRun, 2);
        QCOMPARE(history.ResumeFrom, 6);
        QCOMPARE(history.Failed, (std::set<int>{3, 4}));
        QCOMPARE(history.SentSameMessage, (std::set<int>{1, 2}));
        QCOMPARE(ledger.History("old").SentSameMessage, (std::set<int>{1}));
        row(3, 7, S::Sent, "new"); // a run that went to its end resumes after its last record
        QCOMPARE(ledger.History("new").ResumeFrom, 8);
    }

    // 120 messages a minute for five seconds: at most 11 reach the server, and the pauses cost no CPU.
    void throttleSpacesMessages() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        TRunBench bench(Prepare("throttle", Numbered(40)), FDir.filePath("throttle"), sink.Port());
        TMailingRunSettings settings = bench.Settings();
        settings.MaxPerMinute = 120;
        TMailingRun run = bench.Run(settings);
        // The stop comes from the event loop while the run pauses between messages.
        QTimer::singleShot(5000, [&run] { run.RequestStop(); });
        const double cpuBefore = CpuSeconds();
        run.Execute();
        const double cpu = CpuSeconds() - cpuBefore;

        QVERIFY2(sink.Count() >= 8 && sink.Count() <= 11, qPrintable(QString::number(sink.Count())));
        QVERIFY2(cpu < 1.5, qPrintable(QString::number(cpu))); // a busy wait would burn the whole five seconds
    }

    // kill -9 in the middle of a run: every message the server kept has its SENT row, but for at most the one
    // whose reply was on its way when the process died.
    void rowsSurviveAKill() {
        SmtpSink sink;
        QVERIFY2(sink.Start(), qPrintable(sink.ErrorText()));
        const QString folder = FDir.filePath("killed");
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(QUORVEL_DELIVERYRUN_CHILD),
                    {Prepare("killed", Numbered(200)), folder, QString::number(sink.Port())});
        QVERIFY(child.waitForStarted(10000));
        QVERIFY(child.waitForReadyRead(10000));
        QTRY_VERIFY_WITH_TIMEOUT(sink.Count() >= 12, 20000);
        child.kill(); // SIGKILL: no destructor, no flush, no close
        QVERIFY(child.waitForFinished(10000));

        const QStringList kept = sink.FirstRecipients();
        // A row that is not SENT keeps its status and matches no address.
        const QStringList sent =
            LedgerRows(folder, "E_MAIL STATUS").replaceInStrings(QRegularExpression("\\|SENT$"), "");
        QCOMPARE(sent, kept.mid(0, sent.size()));
        QVERIFY2(sent.size() >= 11 && kept.size() - sent.size() <= 1,
                 qPrintable(QStringLiteral("%1 kept, %2 rows").arg(kept.size()).arg(sent.size())));
    }
};

QTEST_MAIN(TestDeliveryRun)
#include "tst_deliveryrun.moc"
