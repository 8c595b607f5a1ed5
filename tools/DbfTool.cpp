// quorvel-dbf: shows the fields, the record count or the records of a .dbf table, through the same
// engine and field classes the wizard reads recipients with.
#include "framework/core/Application.h"
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
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
    const int languageDriver = table.LanguageDriver();
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", languageDriver);
    const std::string declared = table.DeclaredCodePage();
    if (declared.empty())
        return std::string("none declared (language driver ") + hex + "), read as " + FallbackCodePage;
    if (TCodePage::ForLanguageDriver(languageDriver).empty())
        return declared + " (.cpg file)";
    return declared + " (language driver " + hex + ")";
}

// The dump's text in UTF-8: converted from the table's code page, or the stored bytes with --raw.
class TDumpText {
public:
    TDumpText(TTable& table, const TOptions& options) {
        if (options.Raw)
            return;
        const std::string name = options.CodePage.empty() ? table.DeclaredCodePage() : options.CodePage;
        FCodePage = std::make_unique<TCodePage>(name.empty() ? FallbackCodePage : name);
    }
    // Bytes that stand for no character are reported, never replaced: an EDatabaseError names them.
    std::string_view operator()(std::string_view bytes) {
        if (!FCodePage || FCodePage->Unchanged(bytes))
            return bytes;
        // The buffer only grows: a million values convert without an allocation or a fill each.
        if (FText.size() < TCodePage::MaxUtf8Bytes(bytes.size()))
            FText.resize(TCodePage::MaxUtf8Bytes(bytes.size()));
        std::size_t length = 0;
        std::size_t badAt = 0;
        if (!FCodePage->ToUtf8(bytes, FText.data(), length, badAt))
            throw EDatabaseError(FCodePage->DescribeBadByte(bytes, badAt) +
                                 " (--code-page NAME reads it in another, --raw as stored)");
        return std::string_view(FText.data(), length);
    }

private:
    std::unique_ptr<TCodePage> FCodePage;
    std::string FText;
};

// The message of a table error, with the engine's reason after it when it gave one.
std::string Explained(const EDatabaseError& error) {
    const auto* engine = dynamic_cast<const EDBEngineError*>(&error);
    return engine ? engine->FullMessage() : error.what();
}

// CSV (RFC 4180) to standard output through one large buffer: a value holding a comma, a quote or a line
// break is quoted, its quotes doubled.
class TCsvWriter {
public:
    TCsvWriter() : FBuffer(FlushAt) {}
    ~TCsvWriter() { Flush(); }
    TCsvWriter(const TCsvWriter&) = delete;
    TCsvWriter& operator=(const TCsvWriter&) = delete;

    void Value(std::string_view value) {
        // Room for a separator, the value with every byte doubled, its quotes and the line end.
        char* out = Room(2 * value.size() + 4);
        if (FInLine)
            *out++ = ',';
        FInLine = true;
        if (!NeedsQuotes(value)) {
            std::memcpy(out, value.data(), value.size());
            FUsed = static_cast<std::size_t>(out + value.size() - FBuffer.data());
            return;
        }
        *out++ = '"';
        for (const char c : value) {
            if (c == '"')
                *out++ = '"';
            *out++ = c;
        }
        *out++ = '"';
        FUsed = static_cast<std::size_t>(out - FBuffer.data());
    }

    void EndLine() {
        *Room(1) = '\n';
        ++FUsed;
        FInLine = false;
    }

    bool Flush() {
        const bool written = std::fwrite(FBuffer.data(), 1, FUsed, stdout) == FUsed;
        FUsed = 0;
        return written && std::fflush(stdout) == 0;
    }

private:
    static constexpr std::size_t FlushAt = 1 << 20;

    // Where count more bytes go: the buffer is written out when it would overflow, and grows for a value
    // larger than itself.
    char* Room(std::size_t count) {
        if (FUsed + count > FBuffer.size()) {
            Flush();
            if (count > FBuffer.size())
                FBuffer.resize(count);
        }
        return FBuffer.data() + FUsed;
    }

    // Eight bytes at a time: a byte of the word equals c when the word XOR c has a zero byte there.
    static std::uint64_t HasByte(std::uint64_t word, unsigned char c) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        const std::uint64_t x = word ^ (ones * c);
        return (x - ones) & ~x & (ones * 0x80);
    }

    static bool Special(char c) { return c == ',' || c == '"' || c == '\n' || c == '\r'; }

    // Dumps spend most of their time here: the library's searches for a set of characters call memchr
    // once per byte.
    static bool NeedsQuotes(std::string_view value) {
        const std::size_t size = value.size();
        if (size < 8) {
            for (const char c : value)
                if (Special(c))
                    return true;
            return false;
        }
        // Whole words, the last one overlapping the one before it.
        for (std::size_t i = 0; i < size; i += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, value.data() + (i + 8 <= size ? i : size - 8), 8);
            if (HasByte(word, ',') | HasByte(word, '"') | HasByte(word, '\n') | HasByte(word, '\r'))
                return true;
        }
        return false;
    }

    std::vector<char> FBuffer;
    std::size_t FUsed = 0;
    bool FInLine = false;
};

void Fields(TTable& table) {
    for (int i = 0; i < table.FieldCount(); ++i) {
        const TField& f = table.Fields(i);
        std::cout << f.FieldName() << ' ' << f.TypeLetter() << ' ' << f.Size() << ' ' << f.Decimals() << '\n';
    }
    std::cout << "code page: " << CodePageSource(table) << '\n';
}

// A value that cannot be read (a damaged memo) is written empty and reported; the dump goes on. Returns
// false when any value was left out.
bool Dump(TTable& table, const std::string& file, bool withDeleted, TDumpText& text) {
    TCsvWriter csv;
    if (withDeleted)
        csv.Value("DELETED");
    std::vector<TField*> fields;
    for (int i = 0; i < table.FieldCount(); ++i) {
        fields.push_back(&table.Fields(i));
        csv.Value(text(fields.back()->FieldName()));
    }
    csv.EndLine();
    bool complete = true;
    for (; !table.Eof(); table.Next()) {
        if (withDeleted)
            csv.Value(table.RecordDeleted() ? "*" : "");
        for (TField* field : fields) {
            try {
                csv.Value(text(field->AsText()));
            } catch (const EDatabaseError& e) {
                csv.Value("");
                complete = false;
                std::cerr << "quorvel-dbf: " << file << ": record " << table.RecNo() << ", field " << field->FieldName()
                          << ": " << Explained(e) << '\n';
            }
        }
        csv.EndLine();
    }
    return csv.Flush() && complete;
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
            TDumpText text(table, options);
            complete = Dump(table, file, withDeleted, text);
        }
        std::cout.flush();
        return std::cout.good() && complete ? 0 : 1;
    } catch (const EDatabaseError& e) {
        std::cerr << "quorvel-dbf: " << file << ": " << Explained(e) << '\n';
    }
    return 1;
}
