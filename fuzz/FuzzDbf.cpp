// libFuzzer target for the .dbf header, record and memo parsing. The input is a 4-byte little-endian
// length, that many bytes of table, and the rest as its memo file; both are handed to the engine as
// real (memory-backed) files, then every record is walked and every field decoded.
#include "table/engine/DbfFile.h"
#include "table/engine/FieldCodec.h"
#include "table/engine/FormatError.h"
#include "table/engine/XbArea.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

TFileHandle MemoryFile(const std::uint8_t* data, std::size_t size) {
    TFileHandle file(::memfd_create("fuzz", MFD_CLOEXEC));
    if (file.IsOpen() && size > 0)
        file.WriteAt(0, data, size);
    return file;
}

void Walk(TXbArea& area, const TDbfLayout& layout, bool hideDeleted) {
    area.Count(hideDeleted);
    area.GoTop(hideDeleted);
    for (int guard = 0; !area.Eof() && guard < 100000; ++guard) {
        const std::string image(area.Current());
        for (const TDbfField& f : layout.Fields) {
            const std::string_view bytes =
                std::string_view(image).substr(static_cast<std::size_t>(f.Offset), static_cast<std::size_t>(f.Width));
            FieldCodec::TrimRight(bytes);
            std::string text;
            FieldCodec::NumberText(f.Meaning, bytes, text);
            FieldCodec::Date(f.Meaning.Form, bytes);
            FieldCodec::BitSet(image, layout.NullFlagsOffset, layout.NullFlagsWidth, f.VarBit);
            if (f.Meaning.Form == TFieldForm::Memo) {
                try {
                    area.File()->ReadMemo(bytes);
                } catch (const EFormatError&) {
                }
            }
        }
        area.Skip(1, hideDeleted);
    }
    area.Skip(-3, hideDeleted);
    area.GoBottom(hideDeleted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    std::size_t tableSize = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::size_t>(data[3]) << 24;
    data += 4;
    size -= 4;
    if (tableSize > size)
        tableSize = size;
    try {
        auto file = std::make_unique<TDbfFile>(MemoryFile(data, tableSize), false);
        const TDbfLayout layout = file->Layout();
        if (layout.Memo != TMemoKind::None)
            file->AttachMemo(std::make_unique<TMemoFile>(MemoryFile(data + tableSize, size - tableSize), layout.Memo));
        TXbArea area(std::move(file), "FUZZ");
        Walk(area, layout, true);
        Walk(area, layout, false);
    } catch (const EFormatError&) {
    }
    return 0;
}
