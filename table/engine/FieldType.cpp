// The table of field type letters and what each means.
#include "table/engine/FieldType.h"

#include <array>

namespace {

struct TRow {
    char Letter;
    TFieldType Type;
};

// Blanks for what is written as text, zeros for binary values. Visual FoxPro and dBase 7 differences
// are applied in FieldTypeOf.
constexpr std::array<TRow, 18> Rows{{
    {'C', {TFieldForm::Text, false, false, false, ' ', true, 0, 254, true}},
    {'V', {TFieldForm::Text, false, true, false, ' ', false, 0, 0}},
    {'N', {TFieldForm::Number, false, false, false, ' ', true, 0, 20}},
    {'F', {TFieldForm::Number, false, false, false, ' ', true, 0, 20}},
    {'I', {TFieldForm::Integer, false, false, false, '\0', false, 4, 0}},
    {'+', {TFieldForm::Integer, false, false, false, '\0', false, 4, 0}},
    {'Y', {TFieldForm::Currency, false, false, false, '\0', false, 8, 0}},
    {'B', {TFieldForm::Memo, true, false, false, ' ', false, 0, 0}},
    {'O', {TFieldForm::Double, false, false, true, '\0', false, 8, 0}},
    {'D', {TFieldForm::Date, false, false, false, ' ', true, 8, 8}},
    {'T', {TFieldForm::DateTime, false, false, false, '\0', false, 8, 0}},
    {'@', {TFieldForm::DateTime, false, false, false, '\0', false, 8, 0}},
    {'L', {TFieldForm::Logical, false, false, false, ' ', true, 1, 1}},
    {'M', {TFieldForm::Memo, false, false, false, ' ', true, 10, 10}},
    {'G', {TFieldForm::Memo, true, false, false, ' ', false, 0, 0}},
    {'P', {TFieldForm::Memo, true, false, false, ' ', false, 0, 0}},
    {'W', {TFieldForm::Memo, true, false, false, ' ', false, 0, 0}},
    {'Q', {TFieldForm::Bytes, true, true, false, '\0', false, 0, 0}},
}};

} // namespace

TTableFamily FamilyOf(std::uint8_t version) {
    if (version == 0x30 || version == 0x31 || version == 0x32)
        return TTableFamily::VisualFoxPro;
    if ((version & 0x07) == 0x04)
        return TTableFamily::DBase7;
    return TTableFamily::DBase;
}

TFieldType FieldTypeOf(char letter, TTableFamily family) {
    if (letter == '0')
        return {TFieldForm::NullFlags, false, false, false, '\0', false, 0, 0};
    TFieldType type;
    for (const TRow& row : Rows)
        if (row.Letter == letter)
            type = row.Type;
    // Visual FoxPro's B is a double in the record; elsewhere it points to binary data in the memo file.
    if (letter == 'B' && family == TTableFamily::VisualFoxPro)
        type = {TFieldForm::Double, false, false, false, '\0', false, 8, 0};
    // dBase 7 sorts its integers as bytes: big-endian with the sign bit flipped.
    if ((letter == 'I' || letter == '+') && family == TTableFamily::DBase7)
        type.BigEndian = true;
    return type;
}

char BlankByteOf(const TFieldType& type, int width) {
    if (type.Form == TFieldForm::Memo && width == 4)
        return '\0';
    return type.Blank;
}
