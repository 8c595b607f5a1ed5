// The pre-flight summary's counts and records on a table written by python3-dbf, without a window.
#include "app/PreflightSummary.h"
#include "tests/app/WizardFixture.h"

#include "table/XbaseEnv.h"

class TestPreflightSummary : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    TPreflightMailing FMailing;

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        // Records marked deleted are hidden, as the wizard sets the engine when its window shows.
        (new TXbaseEnv(this))->SetDeleted(true);
        const QString table = FDir.filePath("preflight.dbf");
        MakeTable(table, "NAME C(130); EMAIL C(40)",
                  {{"Anna", "anna@example.org"},
                   {"Bert", "bert@example.org"},
                   {"Carl", "   "},
                   {"Dora", "dora example.org"},
                   {"Emil", "emil@"},
                   {"Fay", "ANNA@Example.ORG"},
                   {"Gus", "gus.example.org"},
                   {"Hal", "hal@example.org"},
                   {"Ida", "ida@@example.org"},
                   {"Jon", "@example.org"},
                   {"Kim", "hal@example.org"},
                   {QString(120, 'x'), "x@example.org"},
                   {"Lea", "lea@example.org"},
                   {"José", "jose@example.org"}},
                  {1, 12});
        FMailing.TablePath = table.toStdString();
        FMailing.CodePage = "CP1252"; // as python3-dbf wrote it
        FMailing.NameField = "NAME";
        FMailing.EmailField = "EMAIL";
        FMailing.Subject = "News";
        FMailing.Body = "Dear %N,\r\n\r\nnews.";
    }

    // Every count, and the records listed with their reasons, numbered as the scope counts (deleted ones hidden).
    void countsAndList() {
        const TPreflightSummary summary(FMailing);
        QCOMPARE(summary.Records(), 12);
        QCOMPARE(summary.ToSend(), 6);
        QCOMPARE(summary.DeletedSkipped(), 2);
        QCOMPARE(summary.WithoutAddress(), 1);
        QCOMPARE(summary.Malformed(), 5);
        QCOMPARE(summary.Duplicates(), 2);
        QCOMPARE(summary.Undecodable(), 0);
        QStringList listed;
        for (const TPreflightRecord& r : summary.ToLookAt())
            listed << QString::fromStdString(std::to_string(r.Position) + "|" + r.Name + "|" + r.Address + "|" +
                                             r.Reason);
        QCOMPARE(listed,
                 (QStringList{"2|Carl||no e-mail address", "3|Dora|dora example.org|blank inside the e-mail address",
                              "4|Emil|emil@|no domain in the e-mail address",
                              "5|Fay|ANNA@Example.ORG|same address as record 1",
                              "6|Gus|gus.example.org|no \"@\" in the e-mail address",
                              "8|Ida|ida@@example.org|more than one \"@\" in the e-mail address",
                              "9|Jon|@example.org|nothing before the \"@\" of the e-mail address",
                              "10|Kim|hal@example.org|same address as record 7"}));
    }

    // Text that does not read in the chosen code page is counted and listed with the field and the byte.
    void undecodable() {
        TPreflightMailing mailing = FMailing;
        mailing.CodePage = "UTF-8";
        const TPreflightSummary summary(mailing);
        QCOMPARE(summary.Undecodable(), 1);
        const TPreflightRecord& listed = summary.ToLookAt().back();
        QCOMPARE(listed.Position, 12);
        QCOMPARE(listed.Name, std::string("Jos"));
        QVERIFY2(listed.Reason.starts_with("NAME: byte 0xE9"), listed.Reason.c_str());
    }

    // Deleted records count only between the scope's first and last record; duplicates only within the scope.
    void scope_data() {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("deleted");
        QTest::addColumn<int>("duplicates");
        QTest::newRow("first three") << 1 << 3 << 1 << 0;
        QTest::newRow("after the deleted one") << 2 << 6 << 0 << 0;
    }

    void scope() {
        QFETCH(int, from);
        QFETCH(int, to);
        TPreflightMailing mailing = FMailing;
        mailing.ScopeFrom = from;
        mailing.ScopeTo = to;
        const TPreflightSummary summary(mailing);
        QCOMPARE(summary.Records(), to - from + 1);
        QTEST(summary.DeletedSkipped(), "deleted");
        QTEST(summary.Duplicates(), "duplicates");
    }

    // The longest line each whole message hands the wire, the 120-character name in it: a trailing "%" dropped,
    // one before a break kept, a long value cut at the column.
    void longestLine_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("wrap");
        QTest::addColumn<int>("longest");
        QTest::newRow("last line, trailing percent") << "Hi,\r\nDear %N, save 100%" << 0 << 5 + 120 + 10;
        QTest::newRow("percent before a break") << "%N 50%\r\nok" << 0 << 120 + 4;
        QTest::newRow("unmapped before the last line") << "%O and %D\r\n%N" << 0 << 120;
        QTest::newRow("long value cut at the column") << "A %N and %E in one line" << 50 << 50;
    }

    void longestLine() {
        QFETCH(QString, body);
        QFETCH(int, wrap);
        TPreflightMailing mailing = FMailing;
        mailing.Body = body.toStdString();
        mailing.WrapColumn = wrap;
        QTEST(TPreflightSummary(mailing).LongestLine(), "longest");
    }

    // Placeholders without a field vanish from every message; "%%", "%n" and mapped ones are not reported.
    void unmappedPlaceholders() {
        TPreflightMailing mailing = FMailing;
        mailing.Subject = "%O news for %N";
        mailing.Body = "Dear %D %N,\r\n50%% off, %n stays, %O again, %D.";
        QCOMPARE(TPreflightSummary(mailing).UnmappedPlaceholders(),
                 (std::vector<std::string>{"%O in the subject", "%D in the body", "%O in the body"}));
    }
};

QTEST_MAIN(TestPreflightSummary)
#include "tst_preflightsummary.moc"
