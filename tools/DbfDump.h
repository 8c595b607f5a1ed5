// The records of a table as CSV in UTF-8, as quorvel-dbf dump writes them.
#pragma once

#include <ostream>
#include <string>

class TCsvWriter;
class TDumpText;
class TTable;

namespace DbfDump {

// The header row of field names, then the open table's records from the current one on; withDeleted adds a
// first column DELETED holding "*" for a deleted record. A value that cannot be read (a damaged memo, a byte of
// no character) is written empty and reported on errors with its record and field, for the file named file; the
// dump goes on. Returns false when any value was left out. A record that cannot be read at all (the table was
// cut short while it was read) raises the table's EDBEngineError: the dump ends there.
bool Dump(TTable& table, const std::string& file, bool withDeleted, TDumpText& text, TCsvWriter& csv,
          std::ostream& errors);

// The message of a table error, with the engine's reason after it when it gave one.
std::string Explained(const std::exception& error);

} // namespace DbfDump
