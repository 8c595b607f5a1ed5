// Parses and validates the header and field descriptors of a .dbf file.
#include "table/engine/DbfLayout.h"

#include "table/engine/Endian.h"
#include "table/engine/FormatError.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

using Endian::Le16;
using Endian::Le32;

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

enum class THeaderStyle { DBase3, DBase7 };

THeaderStyle StyleOf(std::uint8_t version) {
    if (version == 0x02)
        throw EFormatError("dBase II tables are not supported");
    if (version == 0x30 || version == 0x31 || version == 0x32 || version == 0xF5 || version == 0xE5 ||
        (version & 0x07) == 0x03)
        return THeaderStyle::DBase3;
    if ((version & 0x07) == 0x04)
        return THeaderStyle::DBase7;
    throw EFormatError("not a dBase or FoxPro table (version byte " + Hex(version) + ")");
}

TDbfField ReadDescriptor(std::string_view d, THeaderStyle style, TTableFamily family) {
    TDbfField field;
    const std::size_t nameLength = style == THeaderStyle::DBase7 ? 32 : 11;
    const std::string_view name = d.substr(0, nameLength);
    field.Name = std::string(name.substr(0, name.find('\0')));
    const std::size_t at = style == THeaderStyle::DBase7 ? 32 : 11;
    field.Type = d[at];
    const std::size_t sizes = style == THeaderStyle::DBase7 ? 33 : 16;
    field.Width = static_cast<std::uint8_t>(d[sizes]);
    field.Decimals = static_cast<std::uint8_t>(d[sizes + 1]);
    field.Meaning = FieldTypeOf(field.Type, family);
    field.Hidden = field.Meaning.Form == TFieldForm::NullFlags;
    field.Flags = style == THeaderStyle::DBase3 ? static_cast<std::uint8_t>(d[18]) : 0;
    return field;
}

// Sum of widths when character fields use the decimals byte as the high byte of their width.
int WideTextLength(const std::vector<TDbfField>& fields) {
    int total = 1;
    for (const TDbfField& f : fields)
        total += f.Meaning.WideInDecimals ? f.Width + 256 * f.Decimals : f.Width;
    return total;
}

void PlaceFields(std::vector<TDbfField>& fields, std::uint32_t recordLength) {
    int plain = 1;
    for (const TDbfField& f : fields)
        plain += f.Width;
    // Some writers store character fields wider than 255 with the high byte in the decimals; a
    // C field with a stray decimals byte (spreadsheet exports) keeps its plain width, which is what
    // the record length then confirms.
    const bool wide = static_cast<std::uint32_t>(plain) != recordLength &&
                      static_cast<std::uint32_t>(WideTextLength(fields)) == recordLength;
    int offset = 1;
    for (TDbfField& f : fields) {
        if (wide && f.Meaning.WideInDecimals) {
            f.Width += 256 * f.Decimals;
            f.Decimals = 0;
        }
        if (f.Width <= 0)
            throw EFormatError("field " + f.Name + " has a width of 0");
        f.Offset = offset;
        offset += f.Width;
        if (static_cast<std::uint32_t>(offset) > recordLength)
            throw EFormatError("field " + f.Name + " lies past the end of the record (record length " +
                               std::to_string(recordLength) + ")");
    }
    // Bytes no field owns would mean the descriptors and the records disagree on where fields lie.
    if (static_cast<std::uint32_t>(offset) != recordLength)
        throw EFormatError("the field widths add up to " + std::to_string(offset) + " bytes but the record length is " +
                           std::to_string(recordLength));
}

// Visual FoxPro gives each V and Q field a bit telling its length is in its last byte, then each
// nullable field a null bit, in field order; bits past the width of _NullFlags are not kept. The name is
// compared without regard to case: python3-dbf writes _NULLFLAGS.
void AssignNullBits(TDbfLayout& layout) {
    for (const TDbfField& f : layout.Fields)
        if (f.Hidden && SameNameNoCase(f.Name, "_NullFlags")) {
            layout.NullFlagsOffset = f.Offset;
            layout.NullFlagsWidth = f.Width;
        }
    if (layout.NullFlagsOffset < 0)
        return;
    int bit = 0;
    for (TDbfField& f : layout.Fields) {
        if (f.Hidden)
            continue;
        if (f.Meaning.VarLength)
            f.VarBit = bit++;
        if (f.Flags & 0x02)
            f.NullBit = bit++;
        if (f.VarBit >= layout.NullFlagsWidth * 8)
            f.VarBit = -1;
        if (f.NullBit >= layout.NullFlagsWidth * 8)
            f.NullBit = -1;
    }
}

// The header length must take in every descriptor and the terminator after them. end is where the
// descriptors stopped (at the terminator, at zeros, or where the next one would pass the header length).
void CheckDescriptorsEnd(std::string_view header, std::size_t end, std::uint32_t headerLength) {
    if (end >= headerLength)
        return; // no room left for a terminator: some Java writers leave it out and start the records here
    const char terminator = end < header.size() ? header[end] : '\0';
    // 0x0D as it should be; 0x0A written by an old shapefile tool, 0x00 by a Java writer.
    if (terminator == '\x0D' || terminator == '\x0A' || terminator == '\0')
        return;
    throw EFormatError("the header length " + std::to_string(headerLength) + " ends inside the field descriptors");
}

TMemoKind MemoKindOf(const TDbfLayout& layout) {
    bool any = false;
    for (const TDbfField& f : layout.Fields)
        any = any || f.Meaning.Form == TFieldForm::Memo;
    if (!any)
        return TMemoKind::None;
    if (layout.VisualFoxPro || layout.Version == 0xF5 || layout.Version == 0xFB || layout.Version == 0xE5)
        return TMemoKind::Fpt;
    return layout.Version == 0x83 ? TMemoKind::Dbt3 : TMemoKind::Dbt4;
}

} // namespace

bool SameNameNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        return up(x) == up(y);
    });
}

std::array<unsigned char, 3> HeaderDateToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {static_cast<unsigned char>(local.tm_year % 256), static_cast<unsigned char>(local.tm_mon + 1),
            static_cast<unsigned char>(local.tm_mday)};
}

std::string BlankRecord(const TDbfLayout& layout) {
    std::string image(layout.RecordLength, ' ');
    for (const TDbfField& f : layout.Fields)
        image.replace(static_cast<std::size_t>(f.Offset), static_cast<std::size_t>(f.Width),
                      static_cast<std::size_t>(f.Width), BlankByteOf(f.Meaning, f.Width));
    return image;
}

TDbfLayout ParseDbfHeader(std::string_view header, std::uint64_t fileSize) {
    if (fileSize == 0)
        throw EFormatError("the file is empty");
    if (fileSize < 32 || header.size() < 32)
        throw EFormatError("the file is too short to be a table (" + std::to_string(fileSize) + " bytes)");
    TDbfLayout layout;
    layout.Version = static_cast<std::uint8_t>(header[0]);
    const THeaderStyle style = StyleOf(layout.Version);
    layout.Family = FamilyOf(layout.Version);
    layout.VisualFoxPro = layout.Family == TTableFamily::VisualFoxPro;
    layout.RecordCount = Le32(header, 4);
    layout.DataOffset = Le16(header, 8);
    layout.RecordLength = Le16(header, 10);
    layout.CodePage = static_cast<std::uint8_t>(header[29]);
    const std::size_t first = style == THeaderStyle::DBase7 ? 68 : 32;
    const std::size_t size = style == THeaderStyle::DBase7 ? 48 : 32;
    if (layout.DataOffset < first)
        throw EFormatError("the header length " + std::to_string(layout.DataOffset) + " is too short");
    if (layout.DataOffset > fileSize)
        throw EFormatError("the header length " + std::to_string(layout.DataOffset) + " lies past the end of the file");
    if (layout.RecordLength == 0)
        throw EFormatError("the record length is 0");

    std::size_t pos = first;
    while (pos + size <= layout.DataOffset) {
        if (pos + size > header.size())
            throw EFormatError("the file ends inside its field descriptors");
        if (header[pos] == '\x0D')
            break;
        // Zeros where a descriptor should be: a header without its terminator (the Visual FoxPro
        // backlink area follows); the descriptors end here.
        if (header[pos] == '\0')
            break;
        layout.Fields.push_back(ReadDescriptor(header.substr(pos, size), style, layout.Family));
        pos += size;
    }
    CheckDescriptorsEnd(header, pos, layout.DataOffset);
    PlaceFields(layout.Fields, layout.RecordLength);

    // A Visual FoxPro header must be followed by its 263-byte backlink area. A header length that ends
    // right at the terminator, with the backlink's zeros where the first record should start, is a
    // damaged header (seen after a writer crashed mid-sync): where the records begin is then a guess.
    if (layout.VisualFoxPro && pos < header.size() && header[pos] == '\x0D' && layout.DataOffset == pos + 1 &&
        layout.RecordCount > 0 && layout.DataOffset < header.size() && header[layout.DataOffset] == '\0')
        throw EFormatError("the header length leaves out the Visual FoxPro backlink area: the header is damaged");
    AssignNullBits(layout);

    const std::uint64_t room = (fileSize - layout.DataOffset) / layout.RecordLength;
    if (layout.RecordCount > room)
        throw EFormatError("the header counts " + std::to_string(layout.RecordCount) +
                           " records but the file holds only " + std::to_string(room));
    layout.Memo = MemoKindOf(layout);
    return layout;
}
