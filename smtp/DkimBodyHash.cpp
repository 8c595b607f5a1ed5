// Relaxed body canonicalisation and its SHA-256, one line at a time.
#include "smtp/DkimBodyHash.h"

#include "smtp/DkimError.h"

#include <QByteArray>

#include <openssl/evp.h>

namespace {

constexpr size_t PendingBytes = 64 * 1024;

bool IsWsp(char ch) {
    return ch == ' ' || ch == '\t';
}

} // namespace

void TDkimBodyHash::TMdCtxFree::operator()(evp_md_ctx_st* ctx) const {
    EVP_MD_CTX_free(ctx);
}

TDkimBodyHash::TDkimBodyHash() : FCtx(EVP_MD_CTX_new()) {
    if (!FCtx || EVP_DigestInit_ex(FCtx.get(), EVP_sha256(), nullptr) != 1)
        throw EDkimError("The message cannot be signed (OpenSSL).");
    FPending.reserve(PendingBytes + 1024);
}

TDkimBodyHash::~TDkimBodyHash() = default;

void TDkimBodyHash::AddLine(std::string_view line) {
    if (FFinished)
        throw EDkimError("The body hash was already finished.");
    // RFC 6376 3.4.4: blanks at the end go, runs of blanks inside become one space, empty lines at the end of
    // the body are dropped (so they wait here until a line with text follows).
    while (!line.empty() && IsWsp(line.back()))
        line.remove_suffix(1);
    if (line.empty()) {
        ++FEmptyLines;
        return;
    }
    for (; FEmptyLines > 0; --FEmptyLines)
        Update("\r\n");
    size_t start = 0;
    while (start < line.size()) {
        size_t end = start;
        while (end < line.size() && !IsWsp(line[end]))
            ++end;
        Update(line.substr(start, end - start));
        if (end == line.size())
            break;
        Update(" ");
        start = end;
        while (start < line.size() && IsWsp(line[start]))
            ++start;
    }
    Update("\r\n");
}

std::string TDkimBodyHash::Finish() {
    if (FFinished)
        throw EDkimError("The body hash was already finished.");
    FFinished = true;
    Flush();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(FCtx.get(), digest, &size) != 1)
        throw EDkimError("The message cannot be signed (OpenSSL).");
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(size)).toBase64().toStdString();
}

void TDkimBodyHash::Update(std::string_view bytes) {
    FPending.append(bytes);
    if (FPending.size() >= PendingBytes)
        Flush();
}

void TDkimBodyHash::Flush() {
    if (!FPending.empty() && EVP_DigestUpdate(FCtx.get(), FPending.data(), FPending.size()) != 1)
        throw EDkimError("The message cannot be signed (OpenSSL).");
    FPending.clear();
}
