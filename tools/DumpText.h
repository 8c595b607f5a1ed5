// The dump's text in UTF-8: converted from the table's code page, or the stored bytes as they are.
#pragma once

#include "table/CodePage.h"

#include <memory>
#include <string>
#include <string_view>

class TTable;

class TDumpText {
public:
    // What a table that declares no code page most likely holds: text from a Windows program.
    static constexpr const char* FallbackCodePage = "CP1252";

    // raw keeps the stored bytes; otherwise codePage, when not empty, overrides what the table declares. An
    // unknown code page raises EDatabaseError.
    TDumpText(const TTable& table, bool raw, const std::string& codePage);
    // Bytes that stand for no character are reported, never replaced: an EDatabaseError names them. The text
    // stays valid until the next call.
    std::string_view operator()(std::string_view bytes);

private:
    std::unique_ptr<TCodePage> FCodePage;
    std::string FText;
};
