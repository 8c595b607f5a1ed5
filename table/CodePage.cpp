// Code pages of table text over iconv: a lookup table for single-byte code pages, iconv itself for the rest.
#include "table/CodePage.h"

#include "table/DatabaseError.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iconv.h>

struct TCodePage::TIconv {
    iconv_t Handle;
    TIconv(const std::string& to, const std::string& from) : Handle(iconv_open(to.c_str(), from.c_str())) {}
    ~TIconv() {
        if (Handle != reinterpret_cast<iconv_t>(-1))
            iconv_close(Handle);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return Handle != reinterpret_cast<iconv_t>(-1); }
    void Reset() const { iconv(Handle, nullptr, nullptr, nullptr, nullptr); }

    // Appends what iconv makes of the input to out, growing out whenever iconv asks for room; stops at the
    // end of the input (true, with what the converter held back flushed out) or where iconv refuses a byte
    // (false, in and inLeft left there).
    bool Append(char*& in, std::size_t& inLeft, std::string& out) const {
        for (bool flushed = false; !flushed;) {
            const std::size_t start = out.size();
            out.resize(start + inLeft * 4 + 16);
            char* outPtr = out.data() + start;
            std::size_t outLeft = out.size() - start;
            flushed = inLeft == 0;
            const std::size_t result = flushed ? iconv(Handle, nullptr, nullptr, &outPtr, &outLeft)
                                               : iconv(Handle, &in, &inLeft, &outPtr, &outLeft);
            out.resize(out.size() - outLeft);
            if (result == static_cast<std::size_t>(-1) && errno != E2BIG)
                return false;
            if (result == static_cast<std::size_t>(-1))
                flushed = false; // more room, then go on
        }
        return true;
    }
};

namespace {

// The length of the UTF-8 sequence a lead byte starts; 1 for a byte that starts none.
std::size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2)
        return 2;
    return 1;
}

} // namespace

TCodePage::TCodePage(std::string name) : FName(std::move(name)), FToUtf8(std::make_unique<TIconv>("UTF-8", FName)) {
    if (FName.empty() || !FToUtf8->Valid())
        throw EDatabaseError("Unknown code page: " + FName);
    // One byte at a time: a code page in which no byte starts an incomplete sequence is single-byte. Each byte
    // is flushed out: glibc's CP1255 and CP1258 hold a letter back until the next byte shows whether a
    // combining mark follows, and a lone byte would otherwise give nothing.
    FSingleByte = true;
    for (int byte = 0; byte < 256 && FSingleByte; ++byte) {
        FToUtf8->Reset();
        char in = static_cast<char>(byte);
        char* inPtr = &in;
        std::size_t inLeft = 1;
        char* outPtr = FTable[static_cast<std::size_t>(byte)].data();
        std::size_t outLeft = 4;
        if (iconv(FToUtf8->Handle, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
            iconv(FToUtf8->Handle, nullptr, nullptr, &outPtr, &outLeft) != static_cast<std::size_t>(-1))
            FLength[static_cast<std::size_t>(byte)] = static_cast<unsigned char>(4 - outLeft);
        else if (errno == EINVAL || errno == E2BIG)
            FSingleByte = false;
        else
            FLength[static_cast<std::size_t>(byte)] = 0;
    }
    FToUtf8->Reset();
    FAsciiSame = true;
    for (int byte = 0; byte < 128 && FAsciiSame; ++byte)
        FAsciiSame = FSingleByte ? FLength[static_cast<std::size_t>(byte)] == 1 &&
                                       FTable[static_cast<std::size_t>(byte)][0] == static_cast<char>(byte)
                                 : FName == "UTF-8";
}

TCodePage::~TCodePage() = default;

bool TCodePage::Unchanged(std::string_view bytes) const {
    if (!FAsciiSame)
        return false;
    // Eight bytes at a time: most values of a table (addresses, numbers, Latin names) are plain ASCII.
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ULL)
            return false;
    }
    for (; i < bytes.size(); ++i)
        if (static_cast<unsigned char>(bytes[i]) >= 0x80)
            return false;
    return true;
}

bool TCodePage::ToUtf8(std::string_view bytes, char* out, std::size_t& length, std::size_t& badAt) const {
    if (!FSingleByte) {
        std::string text;
        const bool converted = ToUtf8(bytes, text, badAt);
        std::memcpy(out, text.data(), text.size());
        length = text.size();
        return converted;
    }
    // Every byte writes its table entry's four bytes and moves on by the entry's length: no branch per byte
    // but the check for a hole; the slack of MaxUtf8Bytes takes what the last entry wrote beyond.
    char* to = out;
    const unsigned char* from = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char byte = from[i];
        if (FLength[byte] == 0) {
            length = static_cast<std::size_t>(to - out);
            badAt = i;
            return false;
        }
        std::memcpy(to, FTable[byte].data(), 4);
        to += FLength[byte];
    }
    length = static_cast<std::size_t>(to - out);
    return true;
}

bool TCodePage::ToUtf8(std::string_view bytes, std::string& out, std::size_t& badAt) const {
    if (FSingleByte) {
        const std::size_t start = out.size();
        out.resize(start + MaxUtf8Bytes(bytes.size()));
        std::size_t length = 0;
        const bool converted = ToUtf8(bytes, out.data() + start, length, badAt);
        out.resize(start + length);
        return converted;
    }
    FToUtf8->Reset();
    char* inPtr = const_cast<char*>(bytes.data()); // iconv's interface is not const; it does not write there
    std::size_t inLeft = bytes.size();
    if (FToUtf8->Append(inPtr, inLeft, out))
        return true;
    badAt = bytes.size() - inLeft;
    return false;
}

std::string TCodePage::ToUtf8(std::string_view bytes) const {
    std::string text;
    std::size_t badAt = 0;
    if (!ToUtf8(bytes, text, badAt))
        throw EDatabaseError(DescribeBadByte(bytes, badAt));
    return text;
}

std::string TCodePage::DescribeBadByte(std::string_view bytes, std::size_t badAt) const {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", badAt < bytes.size() ? static_cast<unsigned char>(bytes[badAt]) : 0);
    return "byte " + std::string(hex) + " at position " + std::to_string(badAt + 1) +
           " does not stand for a character in code page " + FName;
}

std::string TCodePage::FromUtf8(std::string_view utf8, char replacement) const {
    const TIconv convert(FName, "UTF-8");
    std::string out;
    char* inPtr = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    while (!convert.Append(inPtr, inLeft, out)) {
        // A character this code page cannot hold, or bytes that are no UTF-8: one replacement, then go on.
        out += replacement;
        std::size_t skip = std::min(SequenceLength(static_cast<unsigned char>(*inPtr)), inLeft);
        for (std::size_t k = 1; k < skip; ++k)
            if ((static_cast<unsigned char>(inPtr[k]) & 0xC0) != 0x80)
                skip = k;
        inPtr += skip;
        inLeft -= skip;
        convert.Reset();
    }
    return out;
}

std::string TCodePage::ForLanguageDriver(int languageDriver) {
    // The language-driver bytes that dBase, FoxPro and Visual FoxPro write, with the code page each stands for.
    struct TEntry {
        int Byte;
        const char* Name;
    };
    static const TEntry entries[] = {
        {0x01, "CP437"},
        {0x02, "CP850"},
        {0x03, "CP1252"},
        {0x04, "MACINTOSH"},
        {0x08, "CP865"},
        {0x09, "CP437"},
        {0x0A, "CP850"},
        {0x0B, "CP437"},
        {0x0D, "CP437"},
        {0x0E, "CP850"},
        {0x0F, "CP437"},
        {0x10, "CP850"},
        {0x11, "CP437"},
        {0x12, "CP850"},
        {0x13, "CP932"},
        {0x14, "CP850"},
        {0x15, "CP437"},
        {0x16, "CP850"},
        {0x17, "CP865"},
        {0x18, "CP437"},
        {0x19, "CP437"},
        {0x1A, "CP850"},
        {0x1B, "CP437"},
        {0x1C, "CP863"},
        {0x1D, "CP850"},
        {0x1F, "CP852"},
        {0x22, "CP852"},
        {0x23, "CP852"},
        {0x24, "CP860"},
        {0x25, "CP850"},
        {0x26, "CP866"},
        {0x37, "CP850"},
        {0x40, "CP852"},
        {0x4D, "CP936"},
        {0x4E, "CP949"},
        {0x4F, "CP950"},
        {0x50, "CP874"},
        {0x57, "CP1252"},
        {0x58, "CP1252"},
        {0x59, "CP1252"},
        {0x64, "CP852"},
        {0x65, "CP866"},
        {0x66, "CP865"},
        {0x67, "CP861"},
        {0x6A, "CP737"},
        {0x6B, "CP857"},
        {0x6C, "CP863"},
        {0x78, "CP950"},
        {0x79, "CP949"},
        {0x7A, "CP936"},
        {0x7B, "CP932"},
        {0x7C, "CP874"},
        {0x7D, "CP1255"},
        {0x7E, "CP1256"},
        {0x86, "CP737"},
        {0x87, "CP852"},
        {0x88, "CP857"},
        {0x96, "MAC-CYRILLIC"},
        {0x97, "MAC-CENTRALEUROPE"},
        {0x98, "MAC-GREEK"},
        {0xC8, "CP1250"},
        {0xC9, "CP1251"},
        {0xCA, "CP1254"},
        {0xCB, "CP1253"},
        {0xCC, "CP1257"},
    };
    for (const TEntry& entry : entries)
        if (entry.Byte == languageDriver)
            return entry.Name;
    return {};
}

std::string TCodePage::ForCpgText(std::string_view text) {
    std::string name;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            break;
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t' || name.front() == '\xEF' ||
                             name.front() == '\xBB' || name.front() == '\xBF'))
        name.erase(0, 1); // blanks and a byte-order mark some editors put first
    if (name.rfind("ANSI ", 0) == 0 || name.rfind("OEM ", 0) == 0)
        name = name.substr(name.find(' ') + 1);
    if (name == "UTF8")
        return "UTF-8";
    // Numbers alone: 8859x stands for ISO-8859-x, any other number for the Windows or DOS code page.
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        if (name.size() > 4 && name.rfind("8859", 0) == 0)
            return "ISO-8859-" + name.substr(4);
        return "CP" + name;
    }
    return name;
}

const std::vector<TCodePage::TChoice>& TCodePage::Choices() {
    static const std::vector<TChoice> choices = {
        {"CP437", "DOS US"},
        {"CP850", "DOS Western Europe"},
        {"CP852", "DOS Central Europe"},
        {"CP866", "DOS Cyrillic"},
        {"CP1250", "Windows Central Europe"},
        {"CP1251", "Windows Cyrillic"},
        {"CP1252", "Windows Western"},
        {"CP1253", "Windows Greek"},
        {"CP1254", "Windows Turkish"},
        {"CP1255", "Windows Hebrew"},
        {"CP1256", "Windows Arabic"},
        {"CP1257", "Windows Baltic"},
        {"ISO-8859-1", "Latin-1"},
        {"ISO-8859-2", "Latin-2"},
        {"ISO-8859-5", "Cyrillic"},
        {"ISO-8859-15", "Latin-9"},
        {"KOI8-R", "Russian"},
        {"UTF-8", "Unicode"},
    };
    return choices;
}
