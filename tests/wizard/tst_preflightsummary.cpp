// The pre-flight summary's counts and records on a table written by python3-dbf, without a window.
#include "mailing/PreflightSummary.h"
#include "tests/wizard/WizardFixture.h"

#include "table/XbaseEnv.h"

class TestPreflightSummary : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;
    TPreflightMailing FMailing;

    // The summary of the test's mailing as change leaves it.
    TPreflightSummary Summary(const std::function<void(TPreflightMailing&)>& change) const {
        TPreflightMailing mailing = FMailing;
        change(mailing);
        return TPreflightSummary(mailing);
    }

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        // Records marked deleted are hidden, as the wizard sets the engine when its window shows.
        (new TXbaseEnv(this))->SetDeleted(true);
        const QString table = FDir.filePath("preflight.dbf");
        MakeTable(
            table, "NAME C(130); EMAIL C(40)",
            Rows({"Anna|anna@example.org", "Bert|bert@example.org", "Carl|   ", "Dora|dora example.org", "Emil|emil@",
                  "Fay|ANNA@Example.ORG", "Gus|gus.example.org", "Hal|hal@example.org", "Ida|ida@@example.org",
                  "Jon|@example.org", "Kim|hal@example.org", QString(120, 'x') + "|x@example.org",
                  "Lea|lea@example.org", "Max|m15@example.org>,<evil", "José|jose@example.org"}),
            {1, 12});
        FMailing.TablePath = table.toStdString();
        FMailing.CodePage = "CP1252"; // as python3-dbf wrote it
        FMailing.NameField = "NAME";
        FMailing.EmailField = "EMAIL";
        FMailing.Subject = "News";
        FMailing.Body = "Dear %N,\r\n\r\nnews.";
    }

    // Every count, and the records listed with their reasons under the table's own record numbers (the deleted
    // records 2 and 13 counted, as every dBase tool counts them), not their places in the scope.
    void countsAndList() {
        const TPreflightSummary s(FMailing);
        QCOMPARE((QList<int>{s.Records(), s.ToSend(true), s.DeletedSkipped(), s.WithoutAddress(), s.Malformed(),
                             s.Duplicates(), s.Undecodable()}),
                 (QList<int>{13, 6, 2, 1, 6, 2, 0}));
        // One message per address leaves out the two duplicates.
        QCOMPARE(Summary([](TPreflightMailing& m) { m.OncePerAddress = true; }).ToSend(true), 4);
        QStringList listed;
        for (const TPreflightRecord& r : s.ToLookAt())
            listed << QString::fromStdString(std::to_string(r.RecNo) + "|" + r.Name + "|" + r.Address + "|" +
                                             r.Reason);
        QCOMPARE(listed,
                 (QStringList{"3|Carl||no e-mail address", "4|Dora|dora example.org|blank inside the e-mail address",
                              "5|Emil|emil@|no domain in the e-mail address",
                              "6|Fay|ANNA@Example.ORG|same address as record 1",
                              "7|Gus|gus.example.org|no \"@\" in the e-mail address",
                              "9|Ida|ida@@example.org|more than one \"@\" in the e-mail address",
                              "10|Jon|@example.org|nothing before the \"@\" of the e-mail address",
                              "11|Kim|hal@example.org|same address as record 8",
                              "14|Max|m15@example.org>,<evil|\">\" in the domain of the e-mail address"}));
    }

    // Text that does not read in the chosen code page is counted and listed with the field and the byte.
    void undecodable() {
        const TPreflightSummary summary = Summary([](TPreflightMailing& m) { m.CodePage = "UTF-8"; });
        QCOMPARE(summary.Undecodable(), 1);
        const TPreflightRecord& listed = summary.ToLookAt().back();
        QCOMPARE(listed.RecNo, 15);
        QCOMPARE(listed.Name, std::string("Jos"));
        QVERIFY2(listed.Reason.starts_with("NAME: byte 0xE9"), listed.Reason.c_str());
    }

    // Letters beyond ASCII are no malformed address; before the "@" they are counted, as they need SMTPUTF8.
    void nonAsciiAddresses() {
        const QString table = FDir.filePath("idn.dbf");
        MakeTable(table, "NAME C(20); EMAIL C(40)",
                  Rows({"Anke|müller@beispiel.de", "Jörg|jorg@bücher.de", "Zoë|zoe@example.org"}));
        const TPreflightSummary s = Summary([&](TPreflightMailing& m) { m.TablePath = table.toStdString(); });
        QCOMPARE((QList<int>{s.Malformed(), s.NonAsciiAddresses()}), (QList<int>{0, 1}));
        const auto lines = s.Lines(false);
        QVERIFY(std::find(lines.begin(), lines.end(),
                          std::pair<std::string, std::string>{"Addresses the server cannot take (non-ASCII):", "1"}) !=
                lines.end());
    }

    // Deleted records count only between the scope's first and last record; duplicates only within the scope.
    void scope() {
        const auto counts = [this](int from, int to) {
            const TPreflightSummary s = Summary([=](TPreflightMailing& m) { m.ScopeFrom = from, m.ScopeTo = to; });
            return QList<int>{s.Records(), s.DeletedSkipped(), s.Duplicates()};
        };
        QCOMPARE(counts(1, 3), (QList<int>{3, 1, 0}));
        QCOMPARE(counts(2, 6), (QList<int>{5, 0, 0}));
    }

    // The longest line each whole message hands the wire, the 120-character name in it: a trailing "%" dropped,
    // one before a break kept, unmapped ones before the last line, a long value cut at the column.
    void longestLine() {
        const auto longest = [this](const char* body, int wrap) {
            return Summary([=](TPreflightMailing& m) { m.Body = body, m.WrapColumn = wrap; }).LongestLine();
        };
        QCOMPARE((QList<int>{longest("Hi,\r\nDear %N, save 100%", 0), longest("%N 50%\r\nok", 0),
                             longest("%O and %D\r\n%N", 0), longest("A %N and %E in one line", 50)}),
                 (QList<int>{5 + 120 + 10, 120 + 4, 120, 50}));
    }

    // Placeholders without a field vanish from every message; "%%", "%n" and mapped ones are not reported.
    void unmappedPlaceholders() {
        const TPreflightSummary summary = Summary([](TPreflightMailing& m) {
            m.Subject = "%O news for %N";
            m.Body = "Dear %D %N,\r\n50%% off, %n stays, %O again, %D.";
        });
        QCOMPARE(summary.UnmappedPlaceholders(),
                 (std::vector<std::string>{"%O in the subject", "%D in the body", "%O in the body"}));
    }
};

QTEST_MAIN(TestPreflightSummary)
#include "tst_preflightsummary.moc"
