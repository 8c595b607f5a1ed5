// quorvel-dbf: shows the fields, the record count or the records of a .dbf table, through the same
// engine and field classes the wizard reads recipients with.
#include "framework/Application.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
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
}

// A value that cannot be read (a damaged memo) is written empty and reported; the dump goes on. Returns
// false when any value was left out.
bool Dump(TTable& table, const std::string& file, bool withDeleted) {
    TCsvWriter csv;
    if (withDeleted)
        csv.Value("DELETED");
    std::vector<TField*> fields;
    for (int i = 0; i < table.FieldCount(); ++i) {
        fields.push_back(&table.Fields(i));
        csv.Value(fields.back()->FieldName());
    }
    csv.EndLine();
    bool complete = true;
    for (; !table.Eof(); table.Next()) {
        if (withDeleted)
            csv.Value(table.RecordDeleted() ? "*" : "");
        for (TField* field : fields) {
            try {
                csv.Value(field->AsText());
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
        bool complete = true;
        if (command == "fields")
            Fields(table);
        else if (command == "count")
            std::cout << table.RecordCount() << '\n';
        else
            complete = Dump(table, file, withDeleted);
        std::cout.flush();
        return std::cout.good() && complete ? 0 : 1;
    } catch (const EDatabaseError& e) {
        std::cerr << "quorvel-dbf: " << file << ": " << Explained(e) << '\n';
    }
    return 1;
}
