// Decodes the bytes of one field as stored in a record: numbers, dates, logicals and memo pointers.
#pragma once

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

// The numeric value of a field of type N, F, I, +, Y, B (Visual FoxPro double) or O; nullopt when blank
// or not a number. bigEndianInts: dBase 7 stores I and + big-endian with the sign bit flipped.
std::optional<double> Number(char type, std::string_view bytes, bool bigEndianInts);
// A number as text: up to 15 significant digits, no exponent for ordinary magnitudes, "." as separator.
std::string NumberText(double value);

struct TDateTime {
    int Year = 0, Month = 0, Day = 0;
    int Hour = 0, Minute = 0, Second = 0;
};
// "yyyymmdd" of a D field, or the Julian day and milliseconds of a T or @ field; nullopt when blank or invalid.
std::optional<TDateTime> Date(char type, std::string_view bytes);
bool ValidDate(int year, int month, int day);

// True when bit of the _NullFlags bytes at flagsOffset in the record image is set.
bool BitSet(std::string_view image, int flagsOffset, int flagsWidth, int bit);

// The block number a memo field points to: 4 bytes little-endian in Visual FoxPro, else up to 10
// ASCII digits; nullopt when the bytes are neither.
std::optional<std::uint64_t> MemoBlock(std::string_view bytes);

} // namespace FieldCodec
