// The pre-flight summary's counts and records on tables written by python3-dbf, without a window.
#include "app/PreflightSummary.h"
#include "tests/app/WizardFixture.h"

#include "app/MessageText.h"
#include "framework/Text.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

class TestPreflightSummary : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QString FTable;
    TXbaseEnv* FEnv = nullptr;

    TPreflightMailing Mailing(const QString& table) const {
        TPreflightMailing mailing;
        mailing.TablePath = table.toStdString();
        mailing.NameField = "NAME";
        mailing.EmailField = "EMAIL";
        mailing.Subject = "News";
        mailing.Body = "Dear %N,\r\n\r\nnews.";
        return mailing;
    }

    static QStringList Listed(const TPreflightSummary& summary) {
        QStringList rows;
        for (const TPreflightRecord& r : summary.ToLookAt())
            rows << QStringLiteral("%1|%2|%3|%4")
                        .arg(r.Position)
                        .arg(QString::fromStdString(r.Name), QString::fromStdString(r.Address),
                             QString::fromStdString(r.Reason));
        return rows;
    }

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        // Records marked deleted are hidden, as the wizard sets the engine when its window shows.
        FEnv = new TXbaseEnv(this);
        FEnv->SetDeleted(true);
        FTable = FDir.filePath("preflight.dbf");
        MakeTable(FTable, "NAME C(20); EMAIL C(40)",
                  {{"Anna", "anna@example.org"},
                   {"Bert", "bert@example.org"}, // deleted
                   {"Carl", "   "},
                   {"Dora", "dora example.org"},
                   {"Emil", "emil@"},
                   {"Fay", "ANNA@Example.ORG"},
                   {"Gus", "gus.example.org"},
                   {"Hal", "hal@example.org"},
                   {"Ida", "ida@@example.org"},
                   {"Jon", "@example.org"},
                   {"Kim", "hal@example.org"},
                   {"Lea", "lea@example.org"}}, // deleted
                  {1, 11});
    }

    // Every count, and the records listed with their reasons, in table order, numbered as the scope counts.
    void countsAndList() {
        const TPreflightSummary summary(Mailing(FTable));
        QCOMPARE(summary.Records(), 10);
        QCOMPARE(summary.DeletedSkipped(), 2);
        QCOMPARE(summary.WithoutAddress(), 1);
        QCOMPARE(summary.Malformed(), 5);
        QCOMPARE(summary.Duplicates(), 2);
        QCOMPARE(summary.Undecodable(), 0);
        QCOMPARE(summary.ToSend(), 9);
        QCOMPARE(Listed(summary),
                 (QStringList{"2|Carl||no e-mail address", "3|Dora|dora example.org|blank inside the address",
                              "4|Emil|emil@|no domain after \"@\"", "5|Fay|ANNA@Example.ORG|same address as record 1",
                              "6|Gus|gus.example.org|no \"@\" in the address",
                              "8|Ida|ida@@example.org|more than one \"@\"", "9|Jon|@example.org|nothing before \"@\"",
                              "10|Kim|hal@example.org|same address as record 7"}));
    }

    // Deleted records count only between the scope's first and last record; duplicates only within the scope.
    void scope_data() {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("records");
        QTest::addColumn<int>("deleted");
        QTest::addColumn<int>("duplicates");
        QTest::newRow("first three") << 1 << 3 << 3 << 1 << 0;
        QTest::newRow("after the deleted one") << 2 << 6 << 5 << 0 << 0;
        QTest::newRow("to the last") << 1 << 10 << 10 << 1 << 2;
        QTest::newRow("one record") << 10 << 10 << 1 << 0 << 0;
    }

    void scope() {
        QFETCH(int, from);
        QFETCH(int, to);
        TPreflightMailing mailing = Mailing(FTable);
        mailing.ScopeFrom = from;
        mailing.ScopeTo = to;
        const TPreflightSummary summary(mailing);
        QTEST(summary.Records(), "records");
        QTEST(summary.DeletedSkipped(), "deleted");
        QTEST(summary.Duplicates(), "duplicates");
        if (!summary.ToLookAt().empty())
            QVERIFY(summary.ToLookAt().front().Position >= from && summary.ToLookAt().back().Position <= to);
    }

    // A table of deleted records only: nothing to send, every record passed over.
    void onlyDeleted() {
        const QString table = FDir.filePath("gone.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)", {{"A", "a@example.org"}, {"B", "b@example.org"}}, {0, 1});
        const TPreflightSummary summary(Mailing(table));
        QCOMPARE(summary.Records(), 0);
        QCOMPARE(summary.DeletedSkipped(), 2);
        QCOMPARE(summary.ToSend(), 0);
    }

    // The longest line is measured on each record's own message, after wrapping, footer included.
    void longestLine_data() {
        QTest::addColumn<int>("wrap");
        QTest::addColumn<int>("longest");
        QTest::addColumn<QString>("shown");
        QTest::newRow("not wrapped") << 0 << 126 << "126 characters (not wrapped)";
        QTest::newRow("cut at the column") << 50 << 50 << "50 characters (wrapped at 50)";
    }

    void longestLine() {
        QFETCH(int, wrap);
        const QString table = FDir.filePath("long.dbf");
        MakeTable(table, "NAME C(200); EMAIL C(40)",
                  {{"Anna", "anna@example.org"}, {QString(120, 'x'), "x@example.org"}, {"Bo", "bo@example.org"}});
        TPreflightMailing mailing = Mailing(table);
        mailing.Body = "Dear %N,\r\n\r\nnews.";
        mailing.WrapColumn = wrap;
        const TPreflightSummary summary(mailing);
        QTEST(summary.LongestLine(), "longest");
        QTEST(QString::fromStdString(summary.Lines().back().second), "shown");
    }

    // Measuring line by line gives what the feed hands out for each whole message: trailing "%", a line exactly
    // as wide as the column, a body that ends with a line break, a value that makes a line wrap.
    void longestLineAsSent_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("wrap");
        QTest::newRow("trailing percent") << "Dear %N,\r\nsave 100%" << 12;
        QTest::newRow("percent before break") << "%N 50%\r\nok" << 9;
        QTest::newRow("exact column") << "1234567890\r\n%N xx" << 10;
        QTest::newRow("ends with break") << "Hi %N\r\n" << 0;
        QTest::newRow("unmapped only") << "%O and %D\r\n%N" << 7;
        QTest::newRow("long value") << "A %N and %E in one line" << 30;
    }

    void longestLineAsSent() {
        QFETCH(QString, body);
        QFETCH(int, wrap);
        TPreflightMailing mailing = Mailing(FTable);
        mailing.Body = body.toStdString();
        mailing.WrapColumn = wrap;
        int expected = 0;
        TTable table;
        table.SetTableName(mailing.TablePath);
        table.Open();
        for (; !table.Eof(); table.Next()) {
            if (Text::Trim(table.FieldByName("EMAIL").AsString()).empty())
                continue;
            const std::string text = MessageText::ReplaceVariables(mailing.Body, [&table](char c) {
                return c == 'N'   ? table.FieldByName("NAME").AsString()
                       : c == 'E' ? table.FieldByName("EMAIL").AsString()
                                  : std::string();
            });
            size_t pos = 0;
            for (bool more = true; more;) {
                const std::string line = MessageText::NextBodyLine(text, pos, wrap, 1023, more);
                if (more)
                    expected = std::max(expected, int(line.size()));
            }
        }
        QCOMPARE(TPreflightSummary(mailing).LongestLine(), expected);
    }

    // Placeholders without a field vanish from every message; "%%", "%n" and a mapped one are not reported.
    void unmappedPlaceholders() {
        TPreflightMailing mailing = Mailing(FTable);
        mailing.Subject = "%O news for %N";
        mailing.Body = "Dear %D %N,\r\n50%% off, %n stays, %O again, %D.";
        const TPreflightSummary summary(mailing);
        QCOMPARE(summary.UnmappedPlaceholders(),
                 (std::vector<std::string>{"%O in the subject", "%D in the body", "%O in the body"}));
        const auto lines = summary.Lines();
        QCOMPARE(lines[7], (std::pair<std::string, std::string>{"Placeholders without a field:",
                                                                "%O in the subject, %D in the body, %O in the body"}));
    }

    // The summary as the user reads it, line by line.
    void lines() {
        const auto lines = TPreflightSummary(Mailing(FTable)).Lines();
        QStringList shown;
        for (const auto& [caption, value] : lines)
            shown << QString::fromStdString(caption + " " + value);
        QCOMPARE(shown, (QStringList{"Records in the scope: 10", "Messages to send: 9",
                                     "Deleted records passed over: 2", "Records without an e-mail address: 1",
                                     "Malformed addresses: 5", "Duplicate addresses: 2",
                                     "Records with text that does not decode: 0", "Placeholders without a field: none",
                                     "Longest body line: 65 characters (wrapped at 80)"}));
    }

    void missingField() {
        TPreflightMailing mailing = Mailing(FTable);
        mailing.DearField = "SALUTE";
        QVERIFY_THROWS_EXCEPTION(std::exception, TPreflightSummary{mailing});
    }
};

QTEST_MAIN(TestPreflightSummary)
#include "tst_preflightsummary.moc"
