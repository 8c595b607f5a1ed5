// quorvel-dbf: shows the fields, the record count or the records of a .dbf table, through the same
// engine and field classes the wizard reads recipients with.
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

int Usage() {
    std::cerr << "usage: quorvel-dbf fields FILE\n"
                 "       quorvel-dbf count FILE\n"
                 "       quorvel-dbf dump [--deleted] [--raw | --code-page NAME] FILE\n";
    return 2;
}

// What a table that declares no code page most likely holds: text from a Windows program.
const char* const FallbackCodePage = "CP1252";

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
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", table.LanguageDriver());
    const std::string fromByte = TCodePage::ForLanguageDriver(table.LanguageDriver());
    if (!fromByte.empty())
        return fromByte + " (language driver " + hex + ")";
    const std::string fromFile = TCodePage::ForCpgText(table.CodePageFile());
    if (!fromFile.empty())
        return fromFile + " (.cpg file)";
    return std::string("none declared (language driver ") + hex + "), read as " + FallbackCodePage;
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
    std::cout << "code page: " << CodePageSource(table) << '\n';
}

// The dump's text in UTF-8: converted from the table's code page, or the stored bytes with --raw.
class TDumpText {
public:
    TDumpText(TTable& table, const TOptions& options) {
        if (options.Raw)
            return;
        std::string name = options.CodePage.empty() ? table.DeclaredCodePage() : options.CodePage;
        FCodePage = std::make_unique<TCodePage>(name.empty() ? FallbackCodePage : name);
    }
    const std::string& operator()(const std::string& bytes) {
        if (!FCodePage)
            return bytes;
        FText.clear();
        std::size_t badAt = 0;
        if (!FCodePage->ToUtf8(bytes, FText, badAt))
            throw EDatabaseError(FCodePage->DescribeBadByte(bytes, badAt) + " (--code-page NAME reads it in "
                                                                            "another, --raw as stored)");
        return FText;
    }

private:
    std::unique_ptr<TCodePage> FCodePage;
    std::string FText;
};

void Dump(TTable& table, bool withDeleted, TDumpText& text) {
    std::string line = withDeleted ? "DELETED" : "";
    for (int i = 0; i < table.FieldCount(); ++i)
        line += (i > 0 || withDeleted ? "," : "") + CsvValue(text(table.Fields(i).FieldName()));
    std::cout << line << '\n';
    for (; !table.Eof(); table.Next()) {
        line = withDeleted ? (table.RecordDeleted() ? "*" : "") : "";
        for (int i = 0; i < table.FieldCount(); ++i) {
            try {
                line += (i > 0 || withDeleted ? "," : "") + CsvValue(text(table.Fields(i).AsString()));
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
    TOptions options;
    if (!ParseArgs(std::vector<std::string>(argv + 1, argv + argc), options))
        return Usage();
    const std::string& command = options.Command;
    const bool withDeleted = options.WithDeleted;
    const std::string& file = options.File;
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
        else {
            TDumpText text(table, options);
            Dump(table, withDeleted, text);
        }
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
