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
        QCOMPARE(Tool({"dump", FTable}).Out, QByteArray("NAME,AGE,OK\n\"Smith, \"\"Jr\"\"\",31,True\nCarl,,False\n"));
        QCOMPARE(Tool({"dump", "--deleted", FTable}).Out,
                 QByteArray("DELETED,NAME,AGE,OK\n,\"Smith, \"\"Jr\"\"\",31,True\n*,Bob,42,False\n,Carl,,False\n"));
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
