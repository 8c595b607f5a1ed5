// The dataset layer over tables written by python3-dbf: visible records, text of every kind of field,
// moves, aliases, open modes and the dataset errors.
#include "PythonReader.h"

#include "table/DataSource.h"
#include "table/DatabaseError.h"
#include "table/RecordLayer.h"
#include "table/Table.h"
#include "table/XbaseEngine.h"
#include "table/XbaseEnv.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Three records, the second deleted; Carl's logical holds "?" (python3-dbf's null).
const char* const WriteTable = R"(
import sys, dbf
t = dbf.Table(sys.argv[1], 'NAME C(20); AGE N(3,0); PRICE N(8,2); BORN D; OK L; NOTE M',
              dbf_type=sys.argv[2], codepage='cp1252')
t.open(dbf.READ_WRITE)
t.append(('Anna Maria', 31, 12.5, dbf.Date(1990, 5, 17), True, 'memo one'))
t.append(('Bob', 42, 0, None, False, ''))
t.append(('Carl', 7, -3.25, dbf.Date(2000, 1, 2), None, 'third'))
t.append(('', 0, None, None, None, ''))
dbf.delete(t[1])
t.close()
)";

// The record layer's alias of an open table.
std::string AliasOf(const TTable& table) {
    return RecordLayer::WorkAreaOf(table.Cursor())->Alias;
}

} // namespace

class TTableTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    TXbaseEnv* FEnv = nullptr;

    std::string Folder() const { return QDir(FDir.path()).absolutePath().toStdString() + "/"; }

    void Open(TTable& table, const std::string& name, bool readOnly = true) {
        table.SetDatabaseName(Folder());
        table.SetTableName(name);
        table.SetTableType(ttXbFOX);
        table.SetReadOnly(readOnly);
        table.SetActive(true);
    }

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        FEnv = new TXbaseEnv(this);
        FEnv->SetDateFormat(dfGerman);
        FEnv->SetCentury(true);
        for (const char* kind : {"db3", "fp", "vfp"})
            PythonReader::Run(WriteTable, {FDir.filePath(QString("people_%1.dbf").arg(kind)), kind});
    }

    void init() { FEnv->SetDeleted(true); }

    void readsTablesOfEveryKind_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("dBase III") << "db3";
        QTest::newRow("FoxPro") << "fp";
        QTest::newRow("Visual FoxPro") << "vfp";
    }

    void readsTablesOfEveryKind() {
        QFETCH(QString, kind);
        TTable table;
        Open(table, "people_" + kind.toStdString() + ".dbf");
        std::vector<std::string> names;
        table.GetFieldNames(names);
        QCOMPARE(names, (std::vector<std::string>{"NAME", "AGE", "PRICE", "BORN", "OK", "NOTE"}));
        QCOMPARE(table.RecordCount(), 3);

        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Anna Maria"));
        QCOMPARE(table.FieldByName("AGE").AsString(), std::string("31"));
        QCOMPARE(table.FieldByName("PRICE").AsString(), std::string("12.5"));
        QCOMPARE(table.FieldByName("BORN").AsString(), std::string("17.05.1990"));
        QCOMPARE(table.FieldByName("OK").AsString(), std::string("True"));
        QCOMPARE(table.FieldByName("NOTE").AsString(), std::string("memo one"));
        table.Next();
        // Bob is deleted and never current.
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Carl"));
        QCOMPARE(table.FieldByName("PRICE").AsString(), std::string("-3.25"));
        QCOMPARE(table.FieldByName("OK").AsString(), std::string()); // "?": unknown
        table.Next();
        // Blank fields read as empty texts.
        for (const char* field : {"NAME", "PRICE", "BORN", "NOTE"})
            QCOMPARE(table.FieldByName(field).AsString(), std::string());
        QVERIFY(!table.Eof());
        table.Next();
        QVERIFY(table.Eof());
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string()); // the last record stays current
    }

    void showsDeletedRecordsWhenAsked() {
        FEnv->SetDeleted(false);
        TTable table;
        Open(table, "people_fp.dbf");
        QCOMPARE(table.RecordCount(), 4);
        table.Next();
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Bob"));
        QVERIFY(table.RecordDeleted());
    }

    void movesAndEof() {
        TTable table;
        Open(table, "people_db3.dbf");
        QCOMPARE(table.MoveBy(10), 2); // three visible: two moves, then the end
        QVERIFY(table.Eof());
        QCOMPARE(table.RecNo(), 4);
        QCOMPARE(table.MoveBy(1), 0);
        QCOMPARE(table.RecNo(), 4);
        QCOMPARE(table.MoveBy(-1), -1);
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Carl"));
        QVERIFY(!table.Eof());
        QCOMPARE(table.MoveBy(-5), -1); // back over the deleted Bob to Anna
        QVERIFY(table.Bof());
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Anna Maria"));
    }

    void engineComponentMovesTheLinkedTable() {
        TTable table;
        TDataSource source;
        TXbaseEngine engine;
        source.SetDataSet(&table);
        engine.SetDataSource(&source);
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, engine.GoTop()); // closed
        Open(table, "people_vfp.dbf");
        table.MoveBy(2);
        engine.GoTop();
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Anna Maria"));
        QCOMPARE(engine.MoveBy(1), 1);
        QCOMPARE(table.FieldByName("NAME").AsString(), std::string("Carl"));
    }

    void emptyTableIsEofAtOnce() {
        TXbaseEngine engine;
        QVERIFY(engine.CreateNew(Folder() + "empty.dbf", 2, 1));
        engine.CreateField("A", "C", 5, 0);
        QVERIFY(engine.CreateExec());
        TTable table;
        Open(table, "empty.dbf");
        QVERIFY(table.Eof());
        QCOMPARE(table.RecordCount(), 0);
        QCOMPARE(table.MoveBy(1), 0);
    }

    // Aliases: base name cut to 8, blanks, "-" and "~" as "_", then _1, _2 while taken.
    void aliasesGetSuffixes() {
        QFile::copy(FDir.filePath("people_fp.dbf"), FDir.filePath("my list.dbf"));
        QFile::copy(FDir.filePath("people_fp.dbf"), FDir.filePath("a-very~long name.dbf"));
        TTable first, second, third, longName;
        Open(first, "my list.dbf");
        Open(second, "my list.dbf");
        Open(third, "my list.dbf");
        Open(longName, "a-very~long name.dbf");
        QCOMPARE(AliasOf(first), std::string("my_list"));
        QCOMPARE(AliasOf(second), std::string("my_list_1"));
        QCOMPARE(AliasOf(third), std::string("my_list_2"));
        QCOMPARE(AliasOf(longName), std::string("a_very_l"));
        second.Close();
        TTable again;
        Open(again, "my list.dbf");
        QCOMPARE(AliasOf(again), std::string("my_list_1"));
    }

    void openModes() {
        QCOMPARE(RecordLayer::EngineMode(1, 1), 1); // read-only wins over exclusive
        QCOMPARE(RecordLayer::EngineMode(0, 1), 2);
        QCOMPARE(RecordLayer::EngineMode(0, 0), 0);
        QCOMPARE(RecordLayer::EngineMode(1, 0), 1);

        // An exclusive open keeps other opens out, and a read-only table refuses appends.
        TTable exclusive;
        exclusive.SetExclusive(true);
        Open(exclusive, "people_db3.dbf", false);
        TTable other;
        QVERIFY_THROWS_EXCEPTION(EDBEngineError, Open(other, "people_db3.dbf"));
        QVERIFY(!other.Active());
        exclusive.Close();
        Open(other, "people_db3.dbf");
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, other.Append());
    }

    void fieldByNameIgnoresCase() {
        TTable table;
        Open(table, "people_fp.dbf");
        QCOMPARE(&table.FieldByName("name"), &table.FieldByName("NAME"));
        try {
            table.FieldByName("E_MAIL");
            QFAIL("no error");
        } catch (const EDatabaseError& e) {
            QCOMPARE(std::string(e.what()), std::string("Field 'E_MAIL' not found"));
        }
    }

    void missingFileIsAFileOpenError() {
        TTable table;
        try {
            Open(table, "nowhere.dbf");
            QFAIL("opened");
        } catch (const EDBEngineError& e) {
            QCOMPARE(std::string(e.what()), std::string("File Open Error"));
            QCOMPARE(e.ErrorCode(), 11011);
            QCOMPARE(e.Reason(), std::string("the file does not exist"));
        }
        QVERIFY(!table.Active());
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, table.RecordCount());
    }

    void fieldNamesOfAClosedTable() {
        TTable table;
        table.SetDatabaseName(Folder());
        table.SetTableName("people_vfp.dbf");
        std::vector<std::string> names{"stale"};
        table.GetFieldNames(names);
        QCOMPARE(names.size(), std::size_t(6));
        QCOMPARE(names.front(), std::string("NAME"));
        QVERIFY(!table.Active());
    }

    void openTableRefusesNewNames() {
        TTable table;
        Open(table, "people_fp.dbf");
        try {
            table.SetTableName("other.dbf");
            QFAIL("renamed");
        } catch (const EDatabaseError& e) {
            QCOMPARE(std::string(e.what()), std::string("Cannot perform this operation on an open dataset"));
        }
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, table.SetDatabaseName("/tmp/"));
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, table.SetTableType(ttDBase));
    }

    // Names without a path resolve against the current directory when no folder is given.
    void relativeNamesUseTheCurrentDirectory() {
        const QString before = QDir::currentPath();
        QDir::setCurrent(FDir.path());
        TTable table;
        table.SetTableName("people_fp.dbf");
        table.SetReadOnly(true);
        table.SetActive(true);
        QDir::setCurrent(before);
        QCOMPARE(RecordLayer::WorkAreaOf(table.Cursor())->FullPath, std::string("./people_fp.dbf"));
        QCOMPARE(table.RecordCount(), 3);
    }

    // Only an engine older than 2.40.00, or one without a version, is refused.
    void engineVersionTest() {
        QVERIFY(RecordLayer::VersionAccepted("2.40.00"));
        QVERIFY(RecordLayer::VersionAccepted("3.01.12 (build 7)"));
        QVERIFY(!RecordLayer::VersionAccepted("2.39.99"));
        QVERIFY(!RecordLayer::VersionAccepted(""));
        QCOMPARE(RecordLayer::EngineStart(), RecordLayer::rcOk);
    }

    void secondSettingsComponentIsRefused() {
        try {
            TXbaseEnv second;
            QFAIL("created");
        } catch (const EDatabaseError& e) {
            QCOMPARE(std::string(e.what()), std::string("Removing extra TXbaseEnv component"));
        }
        FEnv->SetDeleted(false);
        QVERIFY(!FEnv->Deleted()); // the first one stays in force
    }
};

QTEST_GUILESS_MAIN(TTableTest)
#include "tst_table.moc"
