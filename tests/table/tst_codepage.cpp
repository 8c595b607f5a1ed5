// Code pages of table text: tables written by python3-dbf in DOS and Windows code pages and by GDAL's ogr2ogr in
// UTF-8 with a .cpg file read back to the exact Unicode text; undecodable bytes found; the log's "?" rule.
#include "tests/table/PythonReader.h"

#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const WriteTable = R"(
import sys, dbf
t = dbf.Table(sys.argv[1], 'NAME C(40); EMAIL C(40)', dbf_type='db3', codepage=sys.argv[2])
t.open(dbf.READ_WRITE)
t.append((sys.argv[3], 'first@example.org'))
t.close()
)";

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

    void tablesOfEachCodePage_data() {
        QTest::addColumn<QString>("codePage");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("declared");
        QTest::newRow("cp437") << "cp437" << QStringLiteral("Jürgen Größe") << "CP437";
        QTest::newRow("cp852") << "cp852" << QStringLiteral("Piotr Zieliński Łódź") << "CP852";
        QTest::newRow("cp866") << "cp866" << QStringLiteral("Иван Петров") << "CP866";
        QTest::newRow("cp1251") << "cp1251" << QStringLiteral("Ирина Шевченко") << "CP1251";
        QTest::newRow("cp1252") << "cp1252" << QStringLiteral("Zoë Müller €") << "CP1252";
    }
    void tablesOfEachCodePage() {
        QFETCH(QString, codePage);
        QFETCH(QString, name);
        QFETCH(QString, declared);
        const QString path = FDir.filePath(codePage + ".dbf");
        PythonReader::Run(WriteTable, {path, codePage, name});
        QCOMPARE(FirstName(path), declared + ": " + name);
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
    }

    void cpgTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::newRow("utf8 lower") << "utf8"
                                    << "UTF-8";
        QTest::newRow("ansi number") << "ANSI 1252\r\n"
                                     << "CP1252";
        QTest::newRow("iso digits") << "88595"
                                    << "ISO-8859-5";
        QTest::newRow("iso name") << " ISO-8859-2 "
                                  << "ISO-8859-2";
    }
    void cpgTexts() {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QCOMPARE(QString::fromStdString(TCodePage::ForCpgText(text.toStdString())), name);
    }

    void undecodableBytesAreFound_data() {
        QTest::addColumn<QString>("codePage");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("badAt");
        QTest::newRow("cp1252 hole") << "CP1252" << QByteArray("ab\x81") << 2;
        QTest::newRow("utf-8 stray byte") << "UTF-8" << QByteArray("Zo\xeb") << 2;
        QTest::newRow("utf-8 cut sequence") << "UTF-8" << QByteArray("ok \xd0") << 3;
    }
    void undecodableBytesAreFound() {
        QFETCH(QString, codePage);
        QFETCH(QByteArray, bytes);
        QFETCH(int, badAt);
        const TCodePage page(codePage.toStdString());
        std::string out;
        std::size_t at = 0;
        QVERIFY(!page.ToUtf8(bytes.toStdString(), out, at));
        QCOMPARE(int(at), badAt);
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, page.ToUtf8(bytes.toStdString()));
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
