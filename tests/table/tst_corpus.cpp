// Every table of the real-world corpus opens and reads as python3-dbfread reads it, or, where dbfread
// cannot read a file, as the file's facts say; text in code pages; fields of the same name.
#include "PythonReader.h"

#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString CorpusDir() {
    return qEnvironmentVariable("QUORVEL_CORPUS_DIR") + "/dbf/";
}

struct TManifestRow {
    QString File;
    int HeaderCount = 0;
    QString Notes;
};

QList<TManifestRow> Manifest() {
    QList<TManifestRow> rows;
    QFile file(CorpusDir() + "MANIFEST.tsv");
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    file.readLine(); // column names
    while (!file.atEnd()) {
        const QStringList cols = QString::fromUtf8(file.readLine()).trimmed().split('\t');
        if (cols.size() >= 9)
            rows.append({cols[0], cols[6].toInt(), cols[8]});
    }
    return rows;
}

std::string Latin1(const QJsonValue& value) {
    return value.toString().toLatin1().toStdString();
}

// Opens a corpus table read-only as the wizard opens recipients.
void OpenTable(TTable& table, const QString& file) {
    table.SetDatabaseName(CorpusDir().toStdString());
    table.SetTableName(file.toStdString());
    table.SetTableType(ttXbFOX);
    table.SetReadOnly(true);
    table.SetActive(true);
}

// The table's declared code page and its first record's NAME read through it, as "CP1251: Ирина".
QString FirstName(const QString& path) {
    TTable table;
    table.SetTableName(path.toStdString());
    table.SetActive(true);
    const TCodePage page(table.DeclaredCodePage());
    return QString::fromStdString(page.Name() + ": " + page.ToUtf8(table.FieldByName("NAME").AsString()));
}

} // namespace

class TCorpusTest : public QObject {
    Q_OBJECT

private:
    TXbaseEnv* FEnv = nullptr;
    QJsonObject FPlain;
    QJsonObject FIgnoringMemo;
    QTemporaryDir FDir; // for the tables written here

private slots:
    void initTestCase() {
        FEnv = new TXbaseEnv(this);
        FEnv->SetDeleted(true);
        QVERIFY(Manifest().size() >= 40);
        QStringList paths;
        for (const TManifestRow& row : Manifest())
            paths << CorpusDir() + row.File;
        FPlain = PythonReader::Dump(paths);
        FIgnoringMemo = PythonReader::Dump(paths, true);
        QCOMPARE(FPlain.size(), paths.size());
    }

    // Tables dbfread reads (with ignore_missing_memofile where the manifest says dbfread needs it): the same
    // visible record count, the same field names in order, every C field byte for byte and every logical.
    void readsAsDbfread_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("ignoreMemo");
        for (const TManifestRow& row : Manifest()) {
            // mazovia: dbfread skips records whose deletion flag is 0x00; see readsSensibly.
            if (row.File.contains("mazovia"))
                continue;
            if (row.Notes.contains("dbfread 2.0.7 reads it"))
                QTest::newRow(qPrintable(row.File)) << row.File << false;
            else if (row.Notes.contains("with ignore_missing_memofile=True reads"))
                QTest::newRow(qPrintable(row.File)) << row.File << true;
        }
    }

    void readsAsDbfread() {
        QFETCH(QString, file);
        QFETCH(bool, ignoreMemo);
        const QJsonObject expected = (ignoreMemo ? FIgnoringMemo : FPlain)[CorpusDir() + file].toObject();
        QVERIFY2(!expected.contains("error"), qPrintable(expected["error"].toString()));

        TTable table;
        OpenTable(table, file);
        std::vector<std::string> names;
        table.GetFieldNames(names);
        const QJsonArray fields = expected["fields"].toArray();
        QCOMPARE(names.size(), static_cast<std::size_t>(fields.size()));
        for (int i = 0; i < fields.size(); ++i)
            QCOMPARE(names[static_cast<std::size_t>(i)], Latin1(fields[i]));

        const QJsonArray records = expected["records"].toArray();
        QCOMPARE(table.RecordCount(), records.size());
        const QJsonArray types = expected["types"].toArray();
        int row = 0;
        for (; !table.Eof(); table.Next(), ++row) {
            QVERIFY(row < records.size());
            const QJsonArray values = records[row].toArray();
            for (int i = 0; i < fields.size(); ++i) {
                if (types[i].toString() == "C")
                    QCOMPARE(table.Fields(i).AsString(), Latin1(values[i]));
                // dbfread's True, False and None (for "?" and blanks), as the dataset shows them.
                if (types[i].toString() == "L")
                    QCOMPARE(table.Fields(i).AsString(), Latin1(values[i]) == "None" ? "" : Latin1(values[i]));
            }
        }
        QCOMPARE(row, records.size());
    }

    // Files dbfread cannot read (or misreads): what a reader of ours should make of them, and why.
    void readsSensibly_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("visible");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("firstValue");
        QTest::addColumn<QString>("refusal");
        // The dBase 7 layout (68-byte header, 48-byte descriptors) is read as dBase 7 writes it.
        QTest::newRow("dBase 7 with memo") << "infused_dbf_dbase_8c.dbf" << 10 << "Name"
                                           << "Clown Triggerfish"
                                           << "";
        QTest::newRow("dBase 7, one deleted") << "albfernandez_javadbf_test_delete.dbf" << 2 << "FNAME"
                                              << "john"
                                              << "";
        // The declared header length says where records start, terminator or not.
        QTest::newRow("no header terminator")
            << "albfernandez_javadbf_continents_no_header_record_terminator.dbf" << 7 << "name"
            << "North America"
            << "";
        QTest::newRow("NUL header terminator")
            << "albfernandez_javadbf_continents-null-header-record-terminator.dbf" << 7 << "name"
            << "North America"
            << "";
        // A stray decimals byte on a C field: the record length confirms the plain width.
        QTest::newRow("C field with decimals")
            << "albfernandez_javadbf_wrong-exented-character-field.dbf" << 16 << "NAME"
            << "GEO_1"
            << "";
        // Odd logicals and B/O doubles do not stop the text fields from reading.
        QTest::newRow("B, O, Y, T, I fields") << "albfernandez_javadbf_numbers2.dbf" << 8 << "CHARACTER"
                                              << "1"
                                              << "";
        // Visual FoxPro var-length fields end where their length byte says.
        QTest::newRow("V field with length byte") << "Valentin-Kaiser_go-dbase_TEST.dbf" << 2 << "VAR_NIL"
                                                  << "Test value with variable length"
                                                  << "";
        QTest::newRow("invalid date shown as stored") << "olemb_dbfread_invalid_value.dbf" << 2 << "BIRTHDATE"
                                                      << "NotAYear"
                                                      << "";
        // Only '*' marks a deleted record, as in FoxPro; a 0x00 flag is a live record.
        QTest::newRow("deletion flag 0x00") << "infused_dbf_mazovia.dbf" << 2 << "A2"
                                            << "English"
                                            << "";
        QTest::newRow("dBase II") << "infused_dbf_dbase_02.dbf" << 0 << ""
                                  << ""
                                  << "dBase II";
        // The header length points into the backlink area: where records start is only a guess.
        QTest::newRow("header length lies") << "albfernandez_javadbf_myfileafter-corrupted.dbf" << 0 << ""
                                            << ""
                                            << "damaged";
    }

    void readsSensibly() {
        QFETCH(QString, file);
        QFETCH(int, visible);
        QFETCH(QString, field);
        QFETCH(QString, firstValue);
        QFETCH(QString, refusal);
        TTable table;
        if (!refusal.isEmpty()) {
            try {
                OpenTable(table, file);
                QFAIL("the table opened");
            } catch (const EDBEngineError& e) {
                QCOMPARE(std::string(e.what()), std::string("File Open Error"));
                QVERIFY2(QString::fromStdString(e.Reason()).contains(refusal), e.Reason().c_str());
            }
            QVERIFY(!table.Active());
            return;
        }
        OpenTable(table, file);
        QCOMPARE(table.RecordCount(), visible);
        QCOMPARE(table.FieldByName(field.toStdString()).AsString(), firstValue.toStdString());
        int walked = 0;
        for (; !table.Eof(); table.Next())
            for (int i = 0; i < table.FieldCount(); ++i, ++walked)
                table.Fields(i).AsString(); // every field of every record reads without an error
        QVERIFY(walked >= visible * table.FieldCount());
    }

    // The record counts the manifest gives for each file that opens, with deleted records shown.
    void headerCountsMatch() {
        FEnv->SetDeleted(false);
        for (const TManifestRow& row : Manifest()) {
            if (row.File.contains("dbase_02") || row.File.contains("corrupted"))
                continue;
            TTable table;
            OpenTable(table, row.File);
            QVERIFY2(table.RecordCount() == row.HeaderCount, qPrintable(row.File));
        }
        FEnv->SetDeleted(true);
    }

    // dbase_03 has Point_ID twice (C 12 first, N 9 last): each reads its own bytes, the name finds the first.
    void duplicateFieldNames() {
        const QJsonArray records = FPlain[CorpusDir() + "infused_dbf_dbase_03.dbf"].toObject()["records"].toArray();
        TTable table;
        OpenTable(table, "infused_dbf_dbase_03.dbf");
        const int last = table.FieldCount() - 1;
        QCOMPARE(table.Fields(last).FieldName() + table.Fields(last).TypeLetter(), std::string("Point_IDN"));
        QCOMPARE(&table.FieldByName("Point_ID"), &table.Fields(0)); // the first, read by readsAsDbfread
        for (int row = 0; !table.Eof(); table.Next(), ++row)
            QCOMPARE(QString::fromStdString(table.Fields(last).AsString()), records[row].toArray()[last].toString());
    }

    void missingMemoFileReadsEmpty() {
        TTable table;
        OpenTable(table, "infused_dbf_dbase_83_missing_memo.dbf");
        QCOMPARE(table.FieldByName("DESC").AsString(), std::string());
        TTable withMemo;
        OpenTable(withMemo, "infused_dbf_dbase_83.dbf");
        QVERIFY(!withMemo.FieldByName("DESC").AsString().empty());
    }

    // Tables python3-dbf wrote in code pages, and one in UTF-8 that GDAL declares in a .cpg file, read exactly.
    void tablesInCodePages() {
        for (const QString& expected : {QStringLiteral("CP852: Piotr Zieliński Łódź"),
                                        QStringLiteral("CP866: Иван Петров"), QStringLiteral("CP1252: Zoë Müller €")}) {
            const QString page = expected.section(": ", 0, 0), path = FDir.filePath(page + ".dbf");
            PythonReader::Run("import sys, dbf\n"
                              "t = dbf.Table(sys.argv[1], 'NAME C(40)', dbf_type='db3', codepage=sys.argv[2])\n"
                              "t.open(dbf.READ_WRITE)\nt.append((sys.argv[3],))\nt.close()\n",
                              {path, page.toLower(), expected.section(": ", 1)});
            QCOMPARE(FirstName(path), expected);
        }
        const QString table = FDir.filePath("people.dbf");
        QProcess ogr;
        ogr.start("ogr2ogr", {"-f", "ESRI Shapefile", table, "-lco", "ENCODING=UTF-8",
                              R"({"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": null,
                                  "properties": {"NAME": "東京 太郎"}}]})"});
        QVERIFY2(ogr.waitForFinished(60000) && ogr.exitCode() == 0, ogr.readAllStandardError().constData());
        QCOMPARE(FirstName(table), QStringLiteral("UTF-8: 東京 太郎"));
        QStringList names; // the other ways .cpg files name a code page
        for (const char* text : {"utf8", "ANSI 1252\r\n", "88595", " ISO-8859-2 "})
            names << QString::fromStdString(TCodePage::ForCpgText(text));
        QCOMPARE(names.join(' '), "UTF-8 CP1252 ISO-8859-5 ISO-8859-2");
    }

    // Every code page offered is known to iconv, other names are refused; the first byte of no character is found
    // (single-byte hole, stray or cut UTF-8 byte); the log's code page gets one "?" for each character it lacks.
    void conversions() {
        for (const TCodePage::TChoice& choice : TCodePage::Choices()) {
            const TCodePage page(choice.Name);
            QCOMPARE(page.ToUtf8(page.FromUtf8("Mail 42")), std::string("Mail 42"));
        }
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, TCodePage("NO-SUCH-CODEPAGE"));
        QStringList found;
        for (const auto& [page, bytes] :
             {std::pair{"CP1252", "ab\x81"}, std::pair{"UTF-8", "Zo\xeb"}, std::pair{"UTF-8", "ok \xd0"}}) {
            std::string out;
            std::size_t at = 0;
            found << QString("%1 %2").arg(TCodePage(page).ToUtf8(bytes, out, at)).arg(at);
            QVERIFY_THROWS_EXCEPTION(EDatabaseError, TCodePage(page).ToUtf8(bytes));
        }
        QCOMPARE(found.join(", "), "0 2, 0 2, 0 3");
        const TCodePage log("CP1252");
        QCOMPARE(log.FromUtf8("Zoë € Иван") + log.FromUtf8("|bad \xff byte"),
                 std::string("Zo\xeb \x80 ????|bad ? byte"));
    }
};

QTEST_GUILESS_MAIN(TCorpusTest)
#include "tst_corpus.moc"
