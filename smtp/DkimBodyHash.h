// The body hash of a DKIM signature (bh=): SHA-256 over the body in relaxed canonical form (RFC 6376 3.4.4),
// fed line by line as the lines go out, so a body of any size is hashed without being held.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

class TDkimBodyHash {
public:
    TDkimBodyHash();
    ~TDkimBodyHash();
    TDkimBodyHash(const TDkimBodyHash&) = delete;
    TDkimBodyHash& operator=(const TDkimBodyHash&) = delete;

    // One body line as it goes on the wire, without its CR LF and before dot-stuffing.
    void AddLine(std::string_view line);
    // The hash, base64, of everything added; ends the hash (later lines throw).
    std::string Finish();

private:
    void Update(std::string_view bytes);
    void Flush();

    struct TMdCtxFree {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, TMdCtxFree> FCtx;
    // Empty lines not yet hashed: those at the end of the body are not part of it.
    size_t FEmptyLines = 0;
    // Small lines are gathered before they reach the digest.
    std::string FPending;
    bool FFinished = false;
};
