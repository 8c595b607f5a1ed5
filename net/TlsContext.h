// The TLS settings every connection of one client shares: the trusted certificates, loaded once rather than for
// each connection, and the last session with each server, so a reconnect resumes it instead of a full handshake.
#pragma once

#include <map>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_session_st;

class TTlsContext {
public:
    // trustedFile, when not empty, names PEM certificates trusted besides the system's store.
    // Throws ESocketException when the file cannot be used.
    explicit TTlsContext(const std::string& trustedFile);
    ~TTlsContext();
    TTlsContext(const TTlsContext&) = delete;
    TTlsContext& operator=(const TTlsContext&) = delete;

    const std::string& TrustedFile() const { return FTrustedFile; }
    ssl_ctx_st* Handle() const { return FCtx.get(); }
    // The session to resume with host; nullptr when there is none.
    ssl_session_st* Session(const std::string& host) const;
    // A session the server gave for host; the context takes over the reference.
    void Remember(const std::string& host, ssl_session_st* session);
    // A session that failed is never offered again.
    void Forget(const std::string& host);

private:
    struct TCtxFree {
        void operator()(ssl_ctx_st* ctx) const;
    };
    struct TSessionFree {
        void operator()(ssl_session_st* session) const;
    };
    std::unique_ptr<ssl_ctx_st, TCtxFree> FCtx;
    std::string FTrustedFile;
    std::map<std::string, std::unique_ptr<ssl_session_st, TSessionFree>> FSessions;
};
