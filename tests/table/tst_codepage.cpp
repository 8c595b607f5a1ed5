// Code pages of table text: tables written by python3-dbf and by GDAL's ogr2ogr (UTF-8 with a .cpg file) read
// back to the exact Unicode text; undecodable bytes found; the log's "?" rule.
#include "tests/table/PythonReader.h"

#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The table's declared code page and its first record's NAME read through it, as "CP1251: Ирина".
QString FirstName(const QString& path) {
    TTable table;
    table.SetTableName(path.toStdString());
    table.SetReadOnly(true);
    table.SetActive(true);
    const TCodePage page(table.DeclaredCodePage());
    return QString::fromStdString(page.Name() + ": " + page.ToUtf8(table.FieldByName("NAME").AsString()));
}

} // namespace

class TestCodePage : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;

private slots:
    void initTestCase() { QVERIFY(FDir.isValid()); }

    void tablesOfEachCodePage() {
        for (const QString& expected : {QStringLiteral("CP852: Piotr Zieliński Łódź"),
                                        QStringLiteral("CP866: Иван Петров"), QStringLiteral("CP1252: Zoë Müller €")}) {
            const QString page = expected.section(": ", 0, 0), path = FDir.filePath(page + ".dbf");
            PythonReader::Run("import sys, dbf\n"
                              "t = dbf.Table(sys.argv[1], 'NAME C(40)', dbf_type='db3', codepage=sys.argv[2])\n"
                              "t.open(dbf.READ_WRITE)\nt.append((sys.argv[3],))\nt.close()\n",
                              {path, page.toLower(), expected.section(": ", 1)});
            QCOMPARE(FirstName(path), expected);
        }
    }

    // GDAL declares UTF-8 in a .cpg file beside the table and leaves the language-driver byte 0.
    void utf8TableWithCpgFile() {
        const QString csv = FDir.filePath("people.csv");
        QFile file(csv);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("NAME,EMAIL\n\"東京 太郎\",taro@example.jp\n");
        file.close();
        const QString table = FDir.filePath("people.dbf");
        QProcess ogr;
        ogr.start("ogr2ogr", {"-f", "ESRI Shapefile", table, csv, "-lco", "ENCODING=UTF-8"});
        QVERIFY2(ogr.waitForFinished(60000) && ogr.exitCode() == 0, ogr.readAllStandardError().constData());
        QCOMPARE(FirstName(table), QStringLiteral("UTF-8: 東京 太郎"));
        QStringList names; // the other ways .cpg files name a code page
        for (const char* text : {"utf8", "ANSI 1252\r\n", "88595", " ISO-8859-2 "})
            names << QString::fromStdString(TCodePage::ForCpgText(text));
        QCOMPARE(names.join(' '), "UTF-8 CP1252 ISO-8859-5 ISO-8859-2");
    }

    // The offset of the first byte of no character: a hole of a single-byte page, a stray or cut UTF-8 byte.
    void undecodableBytesAreFound() {
        QStringList found;
        for (const auto& [page, bytes] :
             {std::pair{"CP1252", "ab\x81"}, std::pair{"UTF-8", "Zo\xeb"}, std::pair{"UTF-8", "ok \xd0"}}) {
            std::string out;
            std::size_t at = 0;
            found << QString("%1 %2").arg(TCodePage(page).ToUtf8(bytes, out, at)).arg(at);
            QVERIFY_THROWS_EXCEPTION(EDatabaseError, TCodePage(page).ToUtf8(bytes));
        }
        QCOMPARE(found.join(", "), "0 2, 0 2, 0 3");
    }

    // The error log's code page holds what it can; everything else is one "?" per character.
    void logTextGetsQuestionMarks() {
        const TCodePage log("CP1252");
        QCOMPARE(log.FromUtf8("Zoë € Иван"), std::string("Zo\xeb \x80 ????"));
        QCOMPARE(log.FromUtf8("bad \xff byte"), std::string("bad ? byte"));
    }

    // Every choice offered to the user is known to iconv and round-trips its own letters; other names are refused.
    void everyChoiceOpens() {
        for (const TCodePage::TChoice& choice : TCodePage::Choices()) {
            const TCodePage page(choice.Name);
            QCOMPARE(page.ToUtf8(page.FromUtf8("Mail 42")), std::string("Mail 42"));
        }
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, TCodePage("NO-SUCH-CODEPAGE"));
    }
};

QTEST_GUILESS_MAIN(TestCodePage)
#include "tst_codepage.moc"
