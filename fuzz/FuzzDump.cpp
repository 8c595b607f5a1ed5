// libFuzzer target for what quorvel-dbf dump does with a table: the engine, the record layer, every field
// class, the code-page conversion and the CSV writer, over real files. The input is one byte choosing the code
// page, one byte giving the length of a .cpg text and that text, then the form of fuzz_dbf: a 4-byte
// little-endian length, that many bytes of table, and the rest as its memo file.
//
// Besides the sanitizers it checks what a wrong value would not show by itself: a logical reads True for
// T, t, Y, y, False for F, f, N, n and empty otherwise; a code page refuses a value only where iconv refuses it
// too, and a single-byte code page gives back the bytes of every value it converted.
#include "table/CodePage.h"
#include "table/DatabaseError.h"
#include "table/Table.h"
#include "table/XbaseEnv.h"
#include "tools/CsvWriter.h"
#include "tools/DbfDump.h"
#include "tools/DumpText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iconv.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// The folder of the files each input becomes; removed when the fuzzer exits.
struct TFiles {
    std::string Folder;
    std::string Table;
    std::FILE* Sink = nullptr;
    ~TFiles() {
        for (const char* name : {"/t.dbf", "/t.fpt", "/t.dbt", "/t.cpg"})
            std::remove((Folder + name).c_str());
        std::remove(Folder.c_str());
        if (Sink)
            std::fclose(Sink);
    }
};

const TFiles& Files() {
    static const TFiles files = [] {
        TFiles f;
        char folder[] = "/tmp/fuzz_dump.XXXXXX";
        if (!::mkdtemp(folder))
            std::abort();
        f.Folder = folder;
        f.Table = f.Folder + "/t.dbf";
        f.Sink = std::fopen("/dev/null", "w");
        return f;
    }();
    return files;
}

void Write(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The whole value through iconv at once, with what the converter holds back flushed: refused or not.
bool IconvAccepts(const std::string& codePage, std::string_view bytes) {
    // Opening a converter costs more than a whole input: each is opened once and closed at the exit.
    static struct THandles {
        std::map<std::string, iconv_t> Open;
        ~THandles() {
            for (const auto& [name, handle] : Open)
                if (handle != reinterpret_cast<iconv_t>(-1))
                    iconv_close(handle);
        }
    } handles;
    auto [known, added] = handles.Open.try_emplace(codePage, reinterpret_cast<iconv_t>(-1));
    if (added)
        known->second = iconv_open("UTF-8", codePage.c_str());
    const iconv_t handle = known->second;
    if (handle == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv(handle, nullptr, nullptr, nullptr, nullptr);
    std::string out(bytes.size() * 8 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    const bool accepted = iconv(handle, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1) &&
                          iconv(handle, nullptr, nullptr, &to, &toLeft) != static_cast<std::size_t>(-1);
    return accepted;
}

void CheckCodePage(const TCodePage& codePage, bool singleByte, std::string_view bytes) {
    std::string text;
    std::size_t badAt = 0;
    const bool converted = codePage.ToUtf8(bytes, text, badAt);
    if (converted != IconvAccepts(codePage.Name(), bytes))
        __builtin_trap();
    if (converted && singleByte && codePage.FromUtf8(text) != bytes)
        __builtin_trap();
}

// Every value of every record through the field classes, checked, then the dump itself.
void Walk(TTable& table, const TCodePage* codePage, bool singleByte) {
    for (table.First(); !table.Eof(); table.Next()) {
        const std::string_view image = table.RecordImage();
        for (int i = 0; i < table.FieldCount(); ++i) {
            TField& field = table.Fields(i);
            try {
                const std::string value(field.AsText());
                if (field.TypeLetter() == 'L') {
                    const TFieldDesc& d = field.Desc();
                    const char c = image[static_cast<std::size_t>(d.Offset)];
                    const std::string_view t("TtYy"), f("FfNn");
                    const char* expected = field.IsNull()                            ? ""
                                           : t.find(c) != std::string_view::npos ? "True"
                                           : f.find(c) != std::string_view::npos ? "False"
                                                                                 : "";
                    if (d.Width == 1 && value != expected)
                        __builtin_trap();
                }
                if (codePage && (field.TypeLetter() == 'C' || field.TypeLetter() == 'V' || field.TypeLetter() == 'M'))
                    CheckCodePage(*codePage, singleByte, value);
            } catch (const EDatabaseError&) {
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TXbaseEnv env;
    if (size < 6)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const unsigned choice = data[0];
    const std::size_t cpgLength = std::min<std::size_t>(data[1], size - 2);
    const std::string_view cpg = input.substr(2, cpgLength);
    std::string_view rest = input.substr(2 + cpgLength);
    if (rest.size() < 4)
        return 0;
    std::size_t tableSize = static_cast<std::uint8_t>(rest[0]) | static_cast<std::uint8_t>(rest[1]) << 8 |
                            static_cast<std::uint8_t>(rest[2]) << 16 | static_cast<std::size_t>(static_cast<std::uint8_t>(rest[3])) << 24;
    rest.remove_prefix(4);
    tableSize = std::min(tableSize, rest.size());

    const TFiles& files = Files();
    Write(files.Table, rest.substr(0, tableSize));
    Write(files.Folder + "/t.fpt", rest.substr(tableSize));
    Write(files.Folder + "/t.dbt", rest.substr(tableSize));
    const std::string cpgPath = files.Folder + "/t.cpg";
    if (cpg.empty())
        std::remove(cpgPath.c_str());
    else
        Write(cpgPath, cpg);

    // The code page: the table's own (as the dump reads it), one of the list by number, or none (--raw).
    const auto& choices = TCodePage::Choices();
    const bool raw = choice == 255;
    const std::string named = choice < choices.size() ? choices[choice].Name : std::string();
    const bool withDeleted = (choice & 0x40) != 0;
    env.SetDeleted(!withDeleted);
    try {
        TTable table;
        table.SetTableName(files.Table);
        table.SetTableType(ttXbFOX);
        table.SetReadOnly(true);
        table.SetActive(true);
        std::unique_ptr<TCodePage> codePage;
        bool singleByte = false;
        if (!raw) {
            const std::string declared = named.empty() ? table.DeclaredCodePage() : named;
            try {
                codePage = std::make_unique<TCodePage>(declared.empty() ? TDumpText::FallbackCodePage : declared);
            } catch (const EDatabaseError&) {
                return 0; // a .cpg naming no code page iconv knows: the dump refuses it the same way
            }
            // Only the pages of the list are known to map no two bytes to one character.
            singleByte = codePage->SingleByte() && !named.empty();
        }
        Walk(table, codePage.get(), singleByte);
        TDumpText text(table, raw, named);
        static TCsvWriter csv(files.Sink); // its megabyte buffer once, not once per input
        csv.Flush();
        std::ostringstream errors;
        table.First();
        DbfDump::Dump(table, "fuzz", withDeleted, text, csv, errors);
    } catch (const EDatabaseError&) {
    }
    return 0;
}
