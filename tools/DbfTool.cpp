// quorvel-dbf: shows the fields, the record count or the records of a .dbf table, through the same
// engine and field classes the wizard reads recipients with.
#include "framework/core/Application.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"
#include "tools/CsvWriter.h"
#include "tools/DbfDump.h"
#include "tools/DumpText.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const UsageText = "usage: quorvel-dbf fields FILE\n"
                              "       quorvel-dbf count FILE\n"
                              "       quorvel-dbf dump [--deleted] [--raw | --code-page NAME] FILE\n"
                              "       quorvel-dbf --help | --version\n";

int Usage() {
    std::cerr << UsageText;
    return 2;
}

int Help() {
    std::cout << UsageText
              << "\nShows what Quorvel Mailer reads from a dBase/FoxPro table, or what its error log holds.\n\n"
                 "  fields FILE           one line per field: name, type letter, width, decimals; then the code page\n"
                 "  count FILE            the number of records not marked deleted\n"
                 "  dump FILE             the records as CSV (RFC 4180), with a header line of field names\n"
                 "  dump --deleted FILE   all records; the first column marks deleted ones with *\n"
                 "  dump --code-page NAME FILE   text read in code page NAME (CP866, CP1251, ISO-8859-2, ...)\n"
                 "  dump --raw FILE       text as stored; otherwise it is converted to UTF-8 from the code page\n"
                 "                        the table declares (language-driver byte, else .cpg file, else CP1252)\n\n"
                 "See quorvel-dbf(1).\n";
    return 0;
}

struct TOptions {
    std::string Command;
    std::string File;
    bool WithDeleted = false;
    bool Raw = false;
    std::string CodePage;
};

// False on wrong usage. Options go between the command and the file; only dump takes them.
bool ParseArgs(const std::vector<std::string>& args, TOptions& options) {
    if (args.size() < 2)
        return false;
    options.Command = args[0];
    if (options.Command != "fields" && options.Command != "count" && options.Command != "dump")
        return false;
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        if (options.Command != "dump")
            return false;
        if (args[i] == "--deleted")
            options.WithDeleted = true;
        else if (args[i] == "--raw")
            options.Raw = true;
        else if (args[i] == "--code-page" && i + 2 < args.size())
            options.CodePage = args[++i];
        else
            return false;
    }
    options.File = args.back();
    return !(options.Raw && !options.CodePage.empty());
}

// Where the table says which code page its text is in, for the fields listing.
std::string CodePageSource(TTable& table) {
    const int languageDriver = table.LanguageDriver();
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", languageDriver);
    const std::string declared = table.DeclaredCodePage();
    if (declared.empty())
        return std::string("none declared (language driver ") + hex + "), read as " + TDumpText::FallbackCodePage;
    if (TCodePage::ForLanguageDriver(languageDriver).empty())
        return declared + " (.cpg file)";
    return declared + " (language driver " + hex + ")";
}

void Fields(TTable& table) {
    for (int i = 0; i < table.FieldCount(); ++i) {
        const TField& f = table.Fields(i);
        std::cout << f.FieldName() << ' ' << f.TypeLetter() << ' ' << f.Size() << ' ' << f.Decimals() << '\n';
    }
    std::cout << "code page: " << CodePageSource(table) << '\n';
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
    TOptions options;
    if (!ParseArgs(args, options))
        return Usage();
    const std::string& command = options.Command;
    const bool withDeleted = options.WithDeleted;
    const std::string& file = options.File;
    try {
        TXbaseEnv env;
        env.SetDeleted(!withDeleted);
        // Dates as ISO 8601 (2026-12-07): the same for every locale, and what spreadsheets and scripts read.
        TXbaseEnv::SetShortDateFormat("yyyy/mm/dd", '-');
        TTable table;
        table.SetTableName(file);
        table.SetTableType(ttXbFOX);
        table.SetReadOnly(true);
        table.SetActive(true);
        bool complete = true;
        if (command == "fields")
            Fields(table);
        else if (command == "count")
            std::cout << table.RecordCount() << '\n';
        else {
            TDumpText text(table, options.Raw, options.CodePage);
            TCsvWriter csv(stdout);
            complete = DbfDump::Dump(table, file, withDeleted, text, csv, std::cerr);
            complete = csv.Flush() && complete;
        }
        std::cout.flush();
        return std::cout.good() && complete ? 0 : 1;
    } catch (const EDatabaseError& e) {
        // A table cut short while it was dumped ends here too: what was read is out, and the exit code tells.
        std::cerr << "quorvel-dbf: " << file << ": " << DbfDump::Explained(e) << '\n';
    }
    return 1;
}
