// Every table of the real-world corpus opens and reads as python3-dbfread reads it, or, where dbfread
// cannot read a file, as the file's facts say.
#include "PythonReader.h"

#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <QFile>
#include <QJsonArray>
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

} // namespace

class TCorpusTest : public QObject {
    Q_OBJECT

private:
    TXbaseEnv* FEnv = nullptr;
    QJsonObject FPlain;
    QJsonObject FIgnoringMemo;

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
    // visible record count, the same field names in order, and every C field byte for byte.
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
            for (int i = 0; i < fields.size(); ++i)
                if (types[i].toString() == "C")
                    QCOMPARE(table.Fields(i).AsString(), Latin1(values[i]));
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

    // dbase_03 has Point_ID twice (C 12 first, N 9 last): each reads its own bytes, as dbfread reads them,
    // and the name finds the first.
    void duplicateFieldNames() {
        const QString file = "infused_dbf_dbase_03.dbf";
        const QJsonObject expected = FPlain[CorpusDir() + file].toObject();
        const QJsonArray records = expected["records"].toArray();
        TTable table;
        OpenTable(table, file);
        const int last = table.FieldCount() - 1;
        QCOMPARE(table.Fields(last).FieldName(), std::string("Point_ID"));
        QCOMPARE(table.Fields(last).TypeLetter(), 'N');
        QCOMPARE(&table.FieldByName("Point_ID"), &table.Fields(0));
        for (int row = 0; !table.Eof(); table.Next(), ++row) {
            QCOMPARE(table.Fields(0).AsString(), Latin1(records[row].toArray()[0]));
            QCOMPARE(QString::fromStdString(table.Fields(last).AsString()), records[row].toArray()[last].toString());
        }
    }

    void missingMemoFileReadsEmpty() {
        TTable table;
        OpenTable(table, "infused_dbf_dbase_83_missing_memo.dbf");
        QCOMPARE(table.FieldByName("DESC").AsString(), std::string());
        TTable withMemo;
        OpenTable(withMemo, "infused_dbf_dbase_83.dbf");
        QVERIFY(!withMemo.FieldByName("DESC").AsString().empty());
    }
};

QTEST_GUILESS_MAIN(TCorpusTest)
#include "tst_corpus.moc"
