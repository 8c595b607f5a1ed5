// What a field's one-letter type means: how its bytes are decoded, what an empty value looks like and
// whether a new table may have it. Every other part of the table code asks here instead of testing letters.
#pragma once

#include <cstdint>

// How the bytes of a field hold its value.
enum class TFieldForm {
    Text,      // C, V: text
    Number,    // N, F: a decimal number written out in ASCII
    Integer,   // I, +: a 4-byte binary integer
    Currency,  // Y: an 8-byte binary integer of ten-thousandths
    Double,    // B of Visual FoxPro, O: an 8-byte floating-point number
    Date,      // D: "yyyymmdd"
    DateTime,  // T, @: a Julian day number and milliseconds since midnight
    Logical,   // L
    Memo,      // M, G, P, W, B outside Visual FoxPro: the number of a block in the memo file
    Bytes,     // Q and letters we do not know: the bytes as they stand
    NullFlags, // 0: the hidden _NullFlags field of Visual FoxPro
};

// The families of tables that give a letter different meanings.
enum class TTableFamily { DBase, VisualFoxPro, DBase7 };

struct TFieldType {
    TFieldForm Form = TFieldForm::Bytes;
    bool BinaryData = false;     // a memo of pictures or objects rather than text (G, P, W, B)
    bool VarLength = false;      // V, Q: Visual FoxPro may keep the length in the last byte
    bool BigEndian = false;      // stored most significant byte first with the sign bit flipped (dBase 7)
    char Blank = ' ';            // the byte an empty value is made of
    bool Creatable = false;      // a new table may define a field of this letter
    int FixedWidth = 0;          // the width such a field always has; 0 = the width the definition gives
    int MaxWidth = 0;            // the widest a new field of this letter may be
    bool WideInDecimals = false; // C: some writers keep the high byte of a width over 255 in the decimals byte
};

TTableFamily FamilyOf(std::uint8_t version);
// The meaning of letter in a table of family; letters are taken as they are stored (upper case).
TFieldType FieldTypeOf(char letter, TTableFamily family);
// The byte an empty value of this field is filled with: a memo pointer of 4 bytes is a binary number
// (Visual FoxPro), one of 10 bytes is written in digits.
char BlankByteOf(const TFieldType& type, int width);
