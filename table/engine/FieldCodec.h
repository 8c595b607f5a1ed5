// Decodes the bytes of one field as stored in a record: numbers, dates, logicals and memo pointers.
#pragma once

#include "table/engine/FieldType.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace FieldCodec {

// Every byte a blank (0x20): the field holds no value.
bool IsBlank(std::string_view bytes);
// Text without trailing blanks; trailing NULs go too, since several writers pad text with zeros.
std::string_view TrimRight(std::string_view bytes);
std::string_view Trim(std::string_view bytes);

// The numeric value of a field of a number form (Number, Integer, Currency, Double); nullopt when blank,
// a null written as stars, or not a number.
std::optional<double> Number(const TFieldType& type, std::string_view bytes);
// A number as text: up to 15 significant digits, no exponent for ordinary magnitudes, "." as separator.
std::string NumberText(double value);
// The value of a number field as text with every digit it holds: decimal text keeps all its digits
// (no detour through a double), currency keeps its four decimals; trailing zeros of the fraction and
// leading zeros go. Empty when blank or a null; the bytes as stored when they are not a number.
void NumberText(const TFieldType& type, std::string_view bytes, std::string& text);

struct TDateTime {
    int Year = 0, Month = 0, Day = 0;
    int Hour = 0, Minute = 0, Second = 0;
};
// "yyyymmdd" of a Date field, or the Julian day and milliseconds of a DateTime field; nullopt when blank,
// a null written as zeros, or invalid.
std::optional<TDateTime> Date(TFieldForm form, std::string_view bytes);
// A date field holding "00000000" (the null some GIS writers store) or nothing at all.
bool NullDate(std::string_view bytes);
bool ValidDate(int year, int month, int day);

// A logical field's value: T, t, Y, y true and F, f, N, n false, as dBase and FoxPro read them; nullopt for
// "?" (unknown, what writers store for an unset logical), blanks and any other byte.
std::optional<bool> Logical(std::string_view bytes);

// True when bit of the _NullFlags bytes at flagsOffset in the record image is set.
bool BitSet(std::string_view image, int flagsOffset, int flagsWidth, int bit);

// The block number a memo field points to: 4 bytes little-endian in Visual FoxPro, else up to 10
// ASCII digits; nullopt when the bytes are neither.
std::optional<std::uint64_t> MemoBlock(std::string_view bytes);

} // namespace FieldCodec
