// quorvel-dbf: shows the fields, the record count or the records of a .dbf table, through the same
// engine and field classes the wizard reads recipients with.
#include "framework/Application.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const UsageText = "usage: quorvel-dbf fields FILE\n"
                              "       quorvel-dbf count FILE\n"
                              "       quorvel-dbf dump [--deleted] FILE\n"
                              "       quorvel-dbf --help | --version\n";

int Usage() {
    std::cerr << UsageText;
    return 2;
}

int Help() {
    std::cout << UsageText
              << "\nShows what Quorvel Mailer reads from a dBase/FoxPro table, or what its error log holds.\n\n"
                 "  fields FILE           one line per field: name, type letter, width, decimals\n"
                 "  count FILE            the number of records not marked deleted\n"
                 "  dump FILE             the records as CSV (RFC 4180), with a header line of field names\n"
                 "  dump --deleted FILE   all records; the first column marks deleted ones with *\n\n"
                 "See quorvel-dbf(1).\n";
    return 0;
}

// RFC 4180: a value holding a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvValue(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

void Fields(TTable& table) {
    for (int i = 0; i < table.FieldCount(); ++i) {
        const TField& f = table.Fields(i);
        std::cout << f.FieldName() << ' ' << f.TypeLetter() << ' ' << f.Size() << ' ' << f.Decimals() << '\n';
    }
}

void Dump(TTable& table, bool withDeleted) {
    std::string line = withDeleted ? "DELETED" : "";
    for (int i = 0; i < table.FieldCount(); ++i)
        line += (i > 0 || withDeleted ? "," : "") + CsvValue(table.Fields(i).FieldName());
    std::cout << line << '\n';
    for (; !table.Eof(); table.Next()) {
        line = withDeleted ? (table.RecordDeleted() ? "*" : "") : "";
        for (int i = 0; i < table.FieldCount(); ++i) {
            try {
                line += (i > 0 || withDeleted ? "," : "") + CsvValue(table.Fields(i).AsString());
            } catch (const EDatabaseError& e) {
                throw EDatabaseError("record " + std::to_string(table.RecNo()) + ", field " +
                                     table.Fields(i).FieldName() + ": " + e.what());
            }
        }
        std::cout << line << '\n';
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h"))
        return Help();
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "quorvel-dbf " << Application::Version().toStdString() << '\n';
        return 0;
    }
    if (args.size() < 2)
        return Usage();
    const std::string& command = args[0];
    const bool withDeleted = command == "dump" && args.size() == 3 && args[1] == "--deleted";
    if ((command != "fields" && command != "count" && command != "dump") || args.size() != (withDeleted ? 3u : 2u))
        return Usage();
    const std::string& file = args.back();
    try {
        TXbaseEnv env;
        env.SetDeleted(!withDeleted);
        TTable table;
        table.SetTableName(file);
        table.SetTableType(ttXbFOX);
        table.SetReadOnly(true);
        table.SetActive(true);
        if (command == "fields")
            Fields(table);
        else if (command == "count")
            std::cout << table.RecordCount() << '\n';
        else
            Dump(table, withDeleted);
        std::cout.flush();
        return std::cout.good() ? 0 : 1;
    } catch (const EDBEngineError& e) {
        std::cerr << "quorvel-dbf: " << file << ": " << e.what() << (e.Reason().empty() ? "" : ": ") << e.Reason()
                  << '\n';
    } catch (const EDatabaseError& e) {
        std::cerr << "quorvel-dbf: " << file << ": " << e.what() << '\n';
    }
    return 1;
}
