// The validated layout of a .dbf file: version, counts, sizes and field descriptors.
#pragma once

#include "table/engine/FieldType.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TDbfField {
    std::string Name;
    char Type = 'C';
    TFieldType Meaning = FieldTypeOf('C', TTableFamily::DBase);
    int Width = 0;
    int Decimals = 0;
    int Offset = 0;      // in the record image, from 0 (byte 0 is the deletion flag)
    bool Hidden = false; // the Visual FoxPro _NullFlags field is part of the record but never shown
    int Flags = 0;       // Visual FoxPro field flags: 0x02 nullable
    int VarBit = -1;     // bit in _NullFlags telling that the last byte holds the length (V and Q)
    int NullBit = -1;    // bit in _NullFlags telling that the value is null
};

enum class TMemoKind { None, Fpt, Dbt3, Dbt4 };

struct TDbfLayout {
    std::uint8_t Version = 0x03;
    std::uint8_t CodePage = 0;
    std::uint32_t RecordCount = 0;
    std::uint32_t DataOffset = 0; // where record 1 starts
    std::uint32_t RecordLength = 1;
    std::vector<TDbfField> Fields; // hidden ones included
    TMemoKind Memo = TMemoKind::None;
    TTableFamily Family = TTableFamily::DBase;
    bool VisualFoxPro = false;
    int NullFlagsOffset = -1; // where _NullFlags lies in the record, -1 = none
    int NullFlagsWidth = 0;
};

// The largest header any reader needs: a dBase 7 header with 65535 bytes of descriptors, plus the
// Visual FoxPro backlink area that some writers leave out of the header length.
constexpr std::size_t MaxHeaderBytes = 65536 + 263;

// Today's date as header bytes 1 to 3 hold it (the last update): years since 1900, month, day.
std::array<unsigned char, 3> HeaderDateToday();

// Checks every value of the header against itself and the file size before anything in it is used.
// header holds the first bytes of the file (up to MaxHeaderBytes); throws EFormatError.
TDbfLayout ParseDbfHeader(std::string_view header, std::uint64_t fileSize);

// Field names and aliases are compared without regard to the case of ASCII letters.
bool SameNameNoCase(std::string_view a, std::string_view b);

// A record of empty values: the deletion flag blank, each field filled with the blank of its type.
std::string BlankRecord(const TDbfLayout& layout);
