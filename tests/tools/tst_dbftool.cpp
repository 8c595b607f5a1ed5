// quorvel-dbf as a user runs it: fields, count and dump of a table python3-dbf wrote, and clear messages
// with a non-zero exit code for files that are not tables.
#include "../table/PythonReader.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

namespace {

const char* const WriteTable = R"(
import sys, dbf
t = dbf.Table(sys.argv[1], 'NAME C(20); AGE N(3,0); OK L', dbf_type='db3', codepage='cp1252')
t.open(dbf.READ_WRITE)
t.append(('Smith, "Jr"', 31, True))
t.append(('Bob', 42, False))
t.append(('Carl', None, None))
dbf.delete(t[1])
t.close()
)";

struct TRun {
    int ExitCode = -1;
    QByteArray Out;
    QByteArray Err;
};

TRun Tool(const QStringList& args, const QStringList& prefix = {}, QString tool = {}) {
    QProcess process;
    if (tool.isEmpty())
        tool = QCoreApplication::applicationDirPath() + "/quorvel-dbf";
    if (prefix.isEmpty())
        process.start(tool, args);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList{tool} + args);
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// Writes a dBase III table by hand: one text field, the given values (bytes), the language-driver byte.
const char* const HandTable = R"(
import struct
def write(path, name, width, values, driver):
    head = struct.pack('<BBBBIHH17xB2x', 3, 126, 12, 7, len(values), 65, width + 1, driver)
    field = struct.pack('<11sc4xBB14x', name, b'C', width, 0)
    rows = b''.join(b' ' + v.ljust(width) for v in values)
    open(path, 'wb').write(head + field + b'\r' + rows + b'\x1a')
)";

// The table's fields as python3-dbfread reads them in the given encoding, as the dump's CSV would show them:
// logicals as True, False or empty (dbfread's None), every other value as text.
QByteArray DbfreadCsv(const QString& path, const QString& encoding) {
    return PythonReader::Run(
        "import csv, dbfread, sys\n"
        "t = dbfread.DBF(sys.argv[1], encoding=sys.argv[2])\n"
        "w = csv.writer(sys.stdout, lineterminator='\\n')\n"
        "w.writerow(t.field_names)\n"
        "for r in t:\n"
        "    w.writerow(['' if v is None else v for v in r.values()])\n",
        {path, encoding});
}

} // namespace

class TDbfToolTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QString FTable;

private slots:
    void initTestCase() {
        QVERIFY(FDir.isValid());
        FTable = FDir.filePath("people.dbf");
        PythonReader::Run(WriteTable, {FTable});
        QVERIFY(QFile::exists(FTable));
    }

    void listsFields() {
        const TRun run = Tool({"fields", FTable});
        QCOMPARE(run.ExitCode, 0);
        QCOMPARE(run.Out, QByteArray("NAME C 20 0\nAGE N 3 0\nOK L 1 0\ncode page: CP1252 (language driver 0x03)\n"));
    }

    void countsVisibleRecords() {
        const TRun run = Tool({"count", FTable});
        QCOMPARE(run.ExitCode, 0);
        QCOMPARE(run.Out, QByteArray("2\n"));
    }

    void dumpsCsv() {
        QCOMPARE(Tool({"dump", FTable}).Out, QByteArray("NAME,AGE,OK\n\"Smith, \"\"Jr\"\"\",31,True\nCarl,,\n"));
        QCOMPARE(Tool({"dump", "--deleted", FTable}).Out,
                 QByteArray("DELETED,NAME,AGE,OK\n,\"Smith, \"\"Jr\"\"\",31,True\n*,Bob,42,False\n,Carl,,\n"));
    }

    // Dates go out as ISO 8601, as dbfread gives them, whatever the locale's short date; an empty date stays empty.
    void datesAsIso8601() {
        const QString path = FDir.filePath("dates.dbf");
        PythonReader::Run("import sys, dbf, datetime\n"
                          "t = dbf.Table(sys.argv[1], 'NAME C(10); BORN D', dbf_type='db3')\n"
                          "t.open(dbf.READ_WRITE)\n"
                          "t.append(('Anna', datetime.date(2026, 12, 7)))\n"
                          "t.append(('Carl', None))\n"
                          "t.close()\n",
                          {path});
        const TRun run = Tool({"dump", path}, {"env", "LC_ALL=en_US.UTF-8", "LANG=en_US.UTF-8"});
        QCOMPARE(run.Out, QByteArray("NAME,BORN\nAnna,2026-12-07\nCarl,\n"));
        QCOMPARE(run.Out, DbfreadCsv(path, "ascii"));
    }

    // The dump is UTF-8 from the table's declared code page, or from the one named, or the bytes as stored; a byte
    // of no character is reported with its record and field. A memo pointer past the end of the memo file spoils
    // that value only: the dump goes on with it empty, and the reason and the exit code tell.
    void dumpConvertsCodePagesAndSkipsADamagedMemo() {
        const QString path = FDir.filePath("cyrillic.dbf");
        PythonReader::Run(
            "import sys, dbf\n"
            "t = dbf.Table(sys.argv[1], 'NAME C(20); NOTE M', dbf_type='fp', codepage='cp1251')\n"
            "t.open(dbf.READ_WRITE)\nt.append(('Ирина, \\'Ира\\'', 'first'))\nt.append(('Bob', 'second'))\n"
            "t.close()\n",
            {path});
        QCOMPARE(QString::fromUtf8(Tool({"dump", path}).Out),
                 QStringLiteral("NAME,NOTE\n\"Ирина, 'Ира'\",first\nBob,second\n"));
        QCOMPARE(Tool({"dump", "--raw", path}).Out,
                 QByteArray("NAME,NOTE\n\"\xc8\xf0\xe8\xed\xe0, '\xc8\xf0\xe0'\",first\nBob,second\n"));
        QVERIFY(Tool({"fields", path}).Out.endsWith("code page: CP1251 (language driver 0xC9)\n"));
        const TRun bad = Tool({"dump", "--code-page", "UTF-8", path});
        QCOMPARE(bad.ExitCode, 1);
        QVERIFY2(bad.Err.contains("record 1, field NAME: byte 0xC8 at position 1"), bad.Err.constData());
        QCOMPARE(Tool({"dump", "--code-page", "NO-SUCH", path}).ExitCode, 1);
        QCOMPARE(Tool({"dump", "--raw", "--code-page", "CP866", path}).ExitCode, 2);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.readAll().indexOf("\xc8\xf0\xe8") + 20));
        QVERIFY(file.write(" 999999999") == 10 && file.flush()); // the first record's NOTE
        const TRun run = Tool({"dump", path});
        QCOMPARE(run.ExitCode, 1);
        QCOMPARE(QString::fromUtf8(run.Out), QStringLiteral("NAME,NOTE\n\"Ирина, 'Ира'\",\nBob,second\n"));
        QVERIFY(run.Err.contains(": record 1, field NOTE: Database Error : 12033: a memo pointer"));
    }

    // dBase and FoxPro read T, t, Y, y as true and F, f, N, n as false; "?" (python3-dbf's unset logical) and
    // blanks are unknown. The bytes are put into a table python3-dbf wrote, and dbfread reads them alike.
    void logicalsAsDbfreadReadsThem() {
        const QString path = FDir.filePath("logicals.dbf");
        PythonReader::Run("import sys, dbf\n"
                          "t = dbf.Table(sys.argv[1], 'N C(2); OK L', dbf_type='db3')\n"
                          "t.open(dbf.READ_WRITE)\n"
                          "for i in range(10): t.append((str(i), None))\n"
                          "t.close()\n"
                          "b = bytearray(open(sys.argv[1], 'rb').read())\n"
                          "for i, c in enumerate(b'TtYyFfNn? '): b[b[8] + b[9] * 256 + 4 * i + 3] = c\n"
                          "open(sys.argv[1], 'wb').write(b)\n",
                          {path});
        const TRun run = Tool({"dump", path});
        QCOMPARE(run.ExitCode, 0);
        QCOMPARE(run.Out, QByteArray("N,OK\n0,True\n1,True\n2,True\n3,True\n4,False\n5,False\n6,False\n7,False\n8,\n9,\n"));
        QCOMPARE(run.Out, DbfreadCsv(path, "ascii"));
    }

    // python3-dbf names the Visual FoxPro flags field _NULLFLAGS: its null bits and varchar lengths count as
    // they do under FoxPro's own spelling. The bits are set by hand (python3-dbf leaves them clear), and NOTE
    // is made a varchar field.
    void nullFlagsInAnyCase() {
        const QString path = FDir.filePath("nulls.dbf");
        PythonReader::Run("import sys, dbf\n"
                          "t = dbf.Table(sys.argv[1], 'NAME C(10) NULL; NOTE C(10) NULL', dbf_type='vfp')\n"
                          "t.open(dbf.READ_WRITE)\n"
                          "t.append(('stale', 'abc'))\n"
                          "t.append(('kept', 'stale'))\n"
                          "t.close()\n"
                          "b = bytearray(open(sys.argv[1], 'rb').read())\n"
                          "assert b[32 + 64:32 + 64 + 10].rstrip(b'\\0') == b'_NULLFLAGS'\n"
                          "b[32 + 32 + 11] = ord('V')\n"
                          "start, size = b[8] + b[9] * 256, b[10] + b[11] * 256\n"
                          "b[start + 11:start + 21] = b'abc' + bytes(6) + bytes([3])\n"
                          "b[start + 21] = 0b011\n"        // NAME null, NOTE's length in its last byte
                          "b[start + size + 21] = 0b100\n" // NOTE null
                          "open(sys.argv[1], 'wb').write(b)\n",
                          {path});
        const TRun run = Tool({"dump", path});
        QCOMPARE(run.ExitCode, 0);
        QCOMPARE(run.Out, QByteArray("NAME,NOTE\n,abc\nkept,\n"));
    }

    // glibc's CP1255 and CP1258 converters hold a letter back until they see whether a combining mark follows:
    // a Hebrew table (language driver 0x7D) and a Vietnamese one (.cpg "1258") read as dbfread reads them.
    void codePagesThatHoldALetterBack() {
        const QString hebrew = FDir.filePath("hebrew.dbf");
        PythonReader::Run("import sys, dbf\n"
                          "t = dbf.Table(sys.argv[1], 'NAME C(20)', dbf_type='db3', codepage='cp1255')\n"
                          "t.open(dbf.READ_WRITE)\n"
                          "for name in ('\u05e9\u05b8\u05c1\u05dc\u05d5\u05b9\u05dd', '\u05e9', 'abc'): t.append((name,))\n"
                          "t.close()\n",
                          {hebrew});
        const QString vietnamese = FDir.filePath("vietnam.dbf");
        PythonReader::Run(HandTable + QStringLiteral("import sys\n"
                                                     "names = ('Nguy\u00ea\u0303n', 'Vi\u00ea\u0323t', 'N')\n"
                                                     "write(sys.argv[1], b'TEN', 20, [n.encode('cp1258') for n in names], 0)\n"
                                                     "open(sys.argv[1][:-4] + '.cpg', 'w').write('1258')\n"),
                          {vietnamese});
        for (const auto& [path, encoding] : {std::pair{hebrew, "cp1255"}, std::pair{vietnamese, "cp1258"}}) {
            const TRun run = Tool({"dump", path});
            QVERIFY2(run.ExitCode == 0, run.Err.constData());
            QCOMPARE(run.Out, DbfreadCsv(path, encoding));
        }
    }

    // Another program cuts the table short while it is dumped: the rows before the missing record are out, the
    // engine's sentence names it, and the exit code is 1. The dump is held on a full pipe while the file is cut,
    // so it stands well before the cut (at most a megabyte of rows and one read-ahead block in).
    void tableCutShortWhileDumped_data() {
        QTest::addColumn<qint64>("cutAt");
        QTest::addColumn<int>("missing"); // the record the dump must report, 0 = the first one not yet read
        const qint64 header = 32 + 32 + 1, record = 21;
        QTest::newRow("in record 150,001") << header + 150000 * record + 10 << 150001;
        QTest::newRow("to nothing") << qint64(0) << 0;
    }

    void tableCutShortWhileDumped() {
        QFETCH(qint64, cutAt);
        QFETCH(int, missing);
        const QString path = FDir.filePath("long.dbf");
        PythonReader::Run(HandTable + QStringLiteral("import sys\n"
                                                     "write(sys.argv[1], b'NAME', 20, [b'name%06d' % i for i in range(1, 400001)], 0)\n"),
                          {path});
        QProcess dump;
        dump.start(QCoreApplication::applicationDirPath() + "/quorvel-dbf", {"dump", path});
        QVERIFY(dump.waitForReadyRead(30000));
        QCOMPARE(QProcess::execute("truncate", {"-s", QString::number(cutAt), path}), 0);
        QVERIFY(dump.waitForFinished(60000));
        const QList<QByteArray> rows = dump.readAllStandardOutput().split('\n');
        const QByteArray err = dump.readAllStandardError();
        QCOMPARE(dump.exitCode(), 1);
        const int rowsOut = static_cast<int>(rows.size()) - 2; // the header line, and the empty piece after the last LF
        if (missing == 0)
            missing = rowsOut + 1;
        QVERIFY2(missing > 1000, err.constData()); // it was cut while the dump was under way
        QCOMPARE(QString::fromLocal8Bit(err), QStringLiteral("quorvel-dbf: %1: Database Error : 8450: record %2 cannot be "
                                                             "read: the file is shorter than its header says\n")
                                                  .arg(path)
                                                  .arg(missing));
        QCOMPARE(rowsOut, missing - 1);
        QCOMPARE(rows.at(rowsOut), QByteArray::number(missing - 1).rightJustified(6, '0').prepend("name"));
    }

    void badFilesGiveClearMessages_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");
        QTest::newRow("zero-length") << "empty.dbf" << QByteArray() << "File Open Error: the file is empty";
        QTest::newRow("text file") << "notes.dbf" << QByteArray(64, 'x')
                                   << "File Open Error: not a dBase or FoxPro table (version byte 0x78)";
        QTest::newRow("missing") << "" << QByteArray() << "File Open Error: the file does not exist";
    }

    void badFilesGiveClearMessages() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        QString path = FDir.filePath("missing.dbf");
        if (!name.isEmpty()) {
            QFile file(FDir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
            path = file.fileName();
        }
        const TRun run = Tool({"count", path});
        QCOMPARE(run.ExitCode, 1);
        QCOMPARE(QString::fromLocal8Bit(run.Err), "quorvel-dbf: " + path + ": " + message + "\n");
        QVERIFY(run.Out.isEmpty());
    }

    void folderIsNoTable() {
        const TRun run = Tool({"dump", FDir.path()});
        QCOMPARE(run.ExitCode, 1);
        QVERIFY(run.Err.contains("File Open Error: this is a folder, not a table file"));
    }

    // Without read permission. Root reads everything, so as root the tool runs as the user nobody.
    void unreadableFile() {
        QFile::setPermissions(FDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther);
        const QString path = FDir.filePath("secret.dbf");
        QVERIFY(QFile::copy(FTable, path));
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        const QStringList asNobody = ::geteuid() == 0
                                         ? QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}
                                         : QStringList{};
        // The build folder may be closed to nobody: the tool runs from the test's own folder.
        const QString tool = FDir.filePath("quorvel-dbf");
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/quorvel-dbf", tool));
        QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        const TRun run = Tool({"count", path}, asNobody, tool);
        QCOMPARE(run.ExitCode, 1);
        QVERIFY2(run.Err.contains("File Open Error: no permission to open the file"), run.Err.constData());
    }

    void wrongUsage() {
        QCOMPARE(Tool({}).ExitCode, 2);
        QCOMPARE(Tool({"show", FTable}).ExitCode, 2);
        QCOMPARE(Tool({"dump", "--all", FTable}).ExitCode, 2);
        QVERIFY(Tool({"count"}).Err.startsWith("usage: quorvel-dbf"));
    }
};

QTEST_GUILESS_MAIN(TDbfToolTest)
#include "tst_dbftool.moc"
