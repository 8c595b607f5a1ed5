// The error-log table as the wizard writes it: created through the engine component, rows appended through
// a table, read back by python3-dbfread; reset, rows across program runs, and a writer killed mid-burst.
#include "PythonReader.h"

#include "table/Table.h"
#include "table/XbaseEngine.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <fcntl.h>

class TErrorLogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;

    QString LogPath() const { return FDir.filePath("mail_log.dbf"); }

    // Runs the helper to its end (or for a minute).
    std::unique_ptr<QProcess> Run(int rows, const QString& tag, const QStringList& options) {
        auto helper = std::make_unique<QProcess>();
        helper->start(QCoreApplication::applicationDirPath() + "/logappender",
                      QStringList{FDir.path(), QString::number(rows), tag} + options);
        helper->waitForFinished(60000);
        return helper;
    }

    // Runs the helper to the end; true when it posted every row.
    bool Append(int rows, const QString& tag, bool reset = false) {
        const auto helper = Run(rows, tag, reset ? QStringList{"--reset"} : QStringList());
        return helper->state() == QProcess::NotRunning && helper->exitCode() == 0;
    }

    QJsonObject Dbfread() { return PythonReader::Dump({LogPath()})[LogPath()].toObject(); }

    QStringList Texts() {
        QStringList texts;
        for (const QJsonValue& row : Dbfread()["records"].toArray())
            texts << row.toArray()[0].toString();
        return texts;
    }

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    void structureAndRows() {
        QVERIFY(Append(2, "first", true));
        const QJsonObject log = Dbfread();
        QVERIFY2(!log.contains("error"), qPrintable(log["error"].toString()));
        QCOMPARE(log["fields"].toArray(), QJsonArray({"ERR_TEXT", "NAME", "E_MAIL"}));
        QCOMPARE(log["types"].toArray(), QJsonArray({"C", "C", "C"}));
        QCOMPARE(log["widths"].toArray(), QJsonArray({50, 10, 50}));
        // A 14-character name is stored as its first 10 characters.
        QCOMPARE(log["records"].toArray(), QJsonArray({QJsonArray({"first row 1", "Maximilian", "row1@example.org"}),
                                                       QJsonArray({"first row 2", "Maximilian", "row2@example.org"})}));
    }

    void cutAndEmptyValues() {
        TXbaseEngine engine;
        QVERIFY(engine.CreateNew(LogPath().toStdString(), 2, 3));
        engine.CreateField("ERR_TEXT", "C", 50, 0);
        engine.CreateField("NAME", "C", 10, 0);
        engine.CreateField("E_MAIL", "C", 50, 0);
        QVERIFY(engine.CreateExec());
        TTable log;
        log.SetDatabaseName(FDir.path().toStdString() + "/");
        log.SetTableName("mail_log.dbf");
        log.SetTableType(ttXbFOX);
        log.SetActive(true);
        log.Append();
        log.FieldByName("err_text").SetValue(std::string(60, 'x') + "tail");
        log.FieldByName("NAME").SetValue("");
        log.FieldByName("E_MAIL").SetValue("  padded@example.org");
        log.Post();
        QCOMPARE(log.RecordCount(), 1);
        const QJsonArray row = Dbfread()["records"].toArray()[0].toArray();
        QCOMPARE(row, QJsonArray({QString(50, 'x'), "", "  padded@example.org"}));
    }

    void resetEmptiesTheLog() {
        QVERIFY(Append(3, "old", true));
        QCOMPARE(Dbfread()["records"].toArray().size(), 3);
        QVERIFY(Append(0, "none", true));
        QCOMPARE(Dbfread()["records"].toArray().size(), 0);
    }

    void rowsAccumulateAcrossRuns() {
        QVERIFY(Append(2, "run1", true));
        QVERIFY(Append(3, "run2"));
        QVERIFY(Append(1, "run3"));
        QCOMPARE(Texts(),
                 QStringList({"run1 row 1", "run1 row 2", "run2 row 1", "run2 row 2", "run2 row 3", "run3 row 1"}));
    }

    // SIGKILL at different moments of a burst: every row reported as posted is in the table, and
    // dbfread opens it.
    void killedMidBurstKeepsPostedRows_data() {
        QTest::addColumn<int>("killAfter");
        QTest::newRow("after 1 row") << 1;
        QTest::newRow("after 150 rows") << 150;
        QTest::newRow("after 3000 rows") << 3000;
    }

    void killedMidBurstKeepsPostedRows() {
        QFETCH(int, killAfter);
        QVERIFY(Append(0, "empty", true));
        QProcess helper;
        helper.start(QCoreApplication::applicationDirPath() + "/logappender", {FDir.path(), "10000000", "burst"});
        QVERIFY(helper.waitForStarted());
        QByteArray out;
        int posted = 0;
        while (posted < killAfter && helper.waitForReadyRead(30000)) {
            out += helper.readAllStandardOutput();
            posted = out.count('\n');
        }
        QVERIFY(::kill(static_cast<pid_t>(helper.processId()), SIGKILL) == 0);
        QVERIFY(helper.waitForFinished(30000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        out += helper.readAllStandardOutput();
        const QList<QByteArray> lines = out.split('\n');
        const int lastPosted = static_cast<int>(out.count('\n'));
        QVERIFY(lastPosted >= killAfter);
        QCOMPARE(lines[lastPosted - 1], QByteArray("posted ") + QByteArray::number(lastPosted));

        const QJsonObject log = Dbfread();
        QVERIFY2(!log.contains("error"), qPrintable(log["error"].toString()));
        const QJsonArray records = log["records"].toArray();
        // The row being written at the kill may have made it too.
        QVERIFY(records.size() == lastPosted || records.size() == lastPosted + 1);
        for (int i = 0; i < lastPosted; ++i)
            QCOMPARE(records[i].toArray()[0].toString(), QString("burst row %1").arg(i + 1));
    }

    // A disk that fills up mid-row (a file size limit stands for it): the row fails with the system's reason
    // and the file is cut back to its last whole row and end mark.
    void fullDiskLeavesNoTornRow() {
        QVERIFY(Append(0, "empty", true));
        const auto run = Run(1000, "full", {"--fsize=" + QString::number(129 + 1 + 5 * 111 + 50)});
        QCOMPARE(run->exitCode(), 1);
        QVERIFY(run->readAllStandardError().contains("writing the table failed: File too large"));
        QCOMPARE(run->readAllStandardOutput().count('\n'), 5);
        QCOMPARE(Texts().size(), 5);
        QFile file(LogPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), 129 + 5 * 111 + 1);
        QVERIFY(file.readAll().endsWith('\x1A'));
    }

    // Another program holding the header lock: the append gives up after the lock timeout with a message.
    void lockWaitEndsAtTheTimeout() {
        QVERIFY(Append(1, "before", true));
        QFile held(LogPath()); // the lock is this process's; the helper is another
        QVERIFY(held.open(QIODevice::ReadWrite));
        flock range{.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 32, .l_pid = 0};
        QCOMPARE(::fcntl(held.handle(), F_SETLK, &range), 0);
        const auto run = Run(1, "late", {"--lock-timeout=1"});
        QCOMPARE(run->exitCode(), 1);
        QVERIFY(run->readAllStandardError().contains(
            "stayed locked by another program for longer than the lock timeout of 1 s"));
        held.close();
        QCOMPARE(Texts().size(), 1);
    }

    // A second instance resetting the log while a run still has it open would leave the run writing into a
    // file nobody sees: the reset is refused, and every row of the run is in the log.
    void resetRefusedWhileAnotherRunAppends() {
        QVERIFY(Append(2, "run", true));
        TTable run;
        run.SetTableName(LogPath().toStdString());
        run.SetActive(true);
        const auto second = Run(0, "second", {"--reset"});
        QCOMPARE(second->exitCode(), 3);
        QVERIFY(second->readAllStandardError().contains("the table is open in another program"));
        run.Append();
        run.FieldByName("ERR_TEXT").SetValue("run row 3");
        run.Post();
        run.SetActive(false);
        QCOMPARE(Texts(), QStringList({"run row 1", "run row 2", "run row 3"}));
        QVERIFY(Append(0, "reset", true)); // with the run gone the reset goes through
        QCOMPARE(Texts().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TErrorLogTest)
#include "tst_errorlog.moc"
