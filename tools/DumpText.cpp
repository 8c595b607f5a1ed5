// The dump's text in UTF-8.
#include "tools/DumpText.h"

#include "table/DatabaseError.h"
#include "table/Table.h"

TDumpText::TDumpText(const TTable& table, bool raw, const std::string& codePage) {
    if (raw)
        return;
    const std::string name = codePage.empty() ? table.DeclaredCodePage() : codePage;
    FCodePage = std::make_unique<TCodePage>(name.empty() ? FallbackCodePage : name);
}

std::string_view TDumpText::operator()(std::string_view bytes) {
    if (!FCodePage || FCodePage->Unchanged(bytes))
        return bytes;
    // The buffer only grows: a million values convert without an allocation or a fill each.
    if (FText.size() < TCodePage::MaxUtf8Bytes(bytes.size()))
        FText.resize(TCodePage::MaxUtf8Bytes(bytes.size()));
    std::size_t length = 0;
    std::size_t badAt = 0;
    if (!FCodePage->ToUtf8(bytes, FText.data(), length, badAt))
        throw EDatabaseError(FCodePage->DescribeBadByte(bytes, badAt) +
                             " (--code-page NAME reads it in another, --raw as stored)");
    return std::string_view(FText.data(), length);
}
