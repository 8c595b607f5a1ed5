// A code page of table text: converts its bytes to UTF-8 and back, over the C library's iconv.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TCodePage {
public:
    // name is an iconv name ("CP1251", "ISO-8859-2", "UTF-8"); one iconv does not know raises EDatabaseError.
    explicit TCodePage(std::string name);
    ~TCodePage();
    TCodePage(const TCodePage&) = delete;
    TCodePage& operator=(const TCodePage&) = delete;

    const std::string& Name() const { return FName; }
    // True when every character is one byte (read through a table of the 256 bytes).
    bool SingleByte() const { return FSingleByte; }

    // Appends the UTF-8 text of bytes to out. False when a byte (sequence) stands for no character in this
    // code page: out then holds what was converted before it and badAt its offset in bytes.
    bool ToUtf8(std::string_view bytes, std::string& out, std::size_t& badAt) const;
    // The fast form for walks over many values: writes into out, which holds at least MaxUtf8Bytes(bytes.size())
    // bytes, and returns the length written; badAt is set and false returned as above.
    bool ToUtf8(std::string_view bytes, char* out, std::size_t& length, std::size_t& badAt) const;
    static std::size_t MaxUtf8Bytes(std::size_t bytes) { return bytes * 4 + 4; }
    // The same for a caller that needs no details: throws EDatabaseError naming the byte and the code page.
    std::string ToUtf8(std::string_view bytes) const;
    // True when bytes need no conversion: all ASCII, and this code page reads ASCII as ASCII (most do).
    bool Unchanged(std::string_view bytes) const;
    // UTF-8 text in this code page; a character it cannot hold, and a byte that is no UTF-8, becomes replacement.
    std::string FromUtf8(std::string_view utf8, char replacement = '?') const;

    // The code page a dBase language-driver byte (header byte 29) stands for; empty for 0 and unknown bytes.
    static std::string ForLanguageDriver(int languageDriver);
    // The code page a .cpg file names ("UTF-8", "1251", "ANSI 1251", "88591", "ISO-8859-5"); empty when none.
    static std::string ForCpgText(std::string_view text);

    // The code pages a user picks from: iconv name and a description.
    struct TChoice {
        const char* Name;
        const char* Description;
    };
    static const std::vector<TChoice>& Choices();

    // Names what failed: "byte 0x98 at offset 3 does not stand for a character in code page CP1251".
    std::string DescribeBadByte(std::string_view bytes, std::size_t badAt) const;

private:
    struct TIconv;
    std::string FName;
    std::unique_ptr<TIconv> FToUtf8;
    // For single-byte code pages every byte's UTF-8 text is looked up here (iconv fills the table once); an
    // empty entry is a byte that stands for no character.
    bool FSingleByte = false;
    bool FAsciiSame = false;
    std::array<std::array<char, 4>, 256> FTable{};
    std::array<unsigned char, 256> FLength{};
};
