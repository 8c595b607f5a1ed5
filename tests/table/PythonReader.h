// Runs the independent Python readers and writers of .dbf files for the table tests.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace PythonReader {

// What python3-dbfread reads from each path (see dbfread_dump.py), keyed by path.
QJsonObject Dump(const QStringList& paths, bool ignoreMissingMemo = false);
// Runs a Python script given as text with arguments; returns its standard output, fails the test on error.
QByteArray Run(const QString& script, const QStringList& args = {});

} // namespace PythonReader
