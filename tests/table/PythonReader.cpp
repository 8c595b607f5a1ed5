// Runs the independent Python readers and writers of .dbf files for the table tests.
#include "PythonReader.h"

#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

namespace PythonReader {

namespace {

QString Python() {
    const QString python = qEnvironmentVariable("PYTHON");
    return python.isEmpty() ? QStringLiteral("/usr/bin/python3") : python;
}

QByteArray RunProcess(const QStringList& args) {
    QProcess process;
    process.start(Python(), args);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "python failed:" << args << process.readAllStandardError();
        return {};
    }
    return process.readAllStandardOutput();
}

} // namespace

QJsonObject Dump(const QStringList& paths, bool ignoreMissingMemo) {
    QStringList args{QString::fromLocal8Bit(qgetenv("QUORVEL_SOURCE_DIR")) + "/tests/table/dbfread_dump.py"};
    if (ignoreMissingMemo)
        args << "--ignore-missing-memo";
    args << paths;
    return QJsonDocument::fromJson(RunProcess(args)).object();
}

QByteArray Run(const QString& script, const QStringList& args) {
    return RunProcess(QStringList{"-c", script} + args);
}

} // namespace PythonReader
