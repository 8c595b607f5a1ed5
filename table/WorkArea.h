// What the record layer knows about one open cursor: its engine area, names, modes and field descriptors.
#pragma once

#include "table/engine/FieldType.h"

#include <string>
#include <vector>

// The kinds a field is shown as to the dataset, from the engine's one-letter type.
enum class TFieldKind { Text, VarText, Float, Smallint, Date, DateTime, Logical, Memo, Blob };

struct TFieldDesc {
    int Number = 0; // from 1, in table order
    std::string Name;
    char Type = 'C'; // the engine's letter
    TFieldType Meaning;
    TFieldKind Kind = TFieldKind::Text;
    int Width = 0;
    int Decimals = 0;
    int Offset = 0; // in the record image, from 0 (byte 0 is the deletion flag)
    // Visual FoxPro: the _NullFlags bytes, and this field's bits in them (-1 = none).
    int NullFlagsOffset = -1;
    int NullFlagsWidth = 0;
    int VarBit = -1;
    int NullBit = -1;
};

struct TWorkArea {
    std::string Alias;     // at most 13 characters
    std::string TableName; // as the caller passed it
    std::string FullPath;  // folder + name as given to the engine
    int Driver = 2;
    int OpenMode = 0;  // 0 read/write, 1 read-only
    int ShareMode = 0; // 0 shared, 1 exclusive
    int Area = 0;
    int RecordSize = 0;
    std::vector<TFieldDesc> Fields;
    bool Filtered = false;
};
