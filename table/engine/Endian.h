// Little- and big-endian integers in file bytes: the one place the table engine decodes and encodes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Endian {

// The unsigned value of bytes (at most 8) stored least significant first.
constexpr std::uint64_t LoadLe(std::string_view bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;)
        value = value << 8 | static_cast<std::uint8_t>(bytes[i]);
    return value;
}

// The unsigned value of bytes (at most 8) stored most significant first.
constexpr std::uint64_t LoadBe(std::string_view bytes) {
    std::uint64_t value = 0;
    for (const char c : bytes)
        value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
}

constexpr std::uint32_t Le16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(LoadLe(bytes.substr(at, 2)));
}

constexpr std::uint32_t Le32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(LoadLe(bytes.substr(at, 4)));
}

constexpr std::uint32_t Be32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(LoadBe(bytes.substr(at, 4)));
}

// Writes the low count bytes of value at out, least significant first.
template <typename Byte> constexpr void StoreLe(Byte* out, std::uint64_t value, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, value >>= 8)
        out[i] = static_cast<Byte>(value & 0xFF);
}

// Writes the low count bytes of value at out, most significant first.
template <typename Byte> constexpr void StoreBe(Byte* out, std::uint64_t value, std::size_t count) {
    for (std::size_t i = count; i-- > 0; value >>= 8)
        out[i] = static_cast<Byte>(value & 0xFF);
}

} // namespace Endian
