// One OpenSSL context per client: TLS 1.2 or later, peer verification, no renegotiation, and a client-side
// session cache keyed by the server's name.
#include "net/TlsContext.h"

#include "net/SocketError.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// OpenSSL hands over each new session (with TLS 1.3 it comes after the handshake, in a ticket). The connection
// carries the host it was made for.
int NewSession(SSL* ssl, SSL_SESSION* session) {
    auto* context = static_cast<TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    const auto* host = static_cast<const std::string*>(SSL_get_app_data(ssl));
    if (context == nullptr || host == nullptr)
        return 0;
    context->Remember(*host, session);
    return 1;
}

} // namespace

void TTlsContext::TCtxFree::operator()(ssl_ctx_st* ctx) const {
    SSL_CTX_free(ctx);
}

void TTlsContext::TSessionFree::operator()(ssl_session_st* session) const {
    SSL_SESSION_free(session);
}

TTlsContext::TTlsContext(const std::string& trustedFile) : FTrustedFile(trustedFile) {
    ERR_clear_error();
    FCtx.reset(SSL_CTX_new(TLS_client_method()));
    if (!FCtx)
        throw ESocketException("The secure connection cannot be prepared (OpenSSL)");
    SSL_CTX_set_min_proto_version(FCtx.get(), TLS1_2_VERSION);
    // A renegotiation would let a server change the session's terms in the middle of the dialogue.
    SSL_CTX_set_options(FCtx.get(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(FCtx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(FCtx.get());
    if (!trustedFile.empty()) {
        if (SSL_CTX_load_verify_locations(FCtx.get(), trustedFile.c_str(), nullptr) != 1) {
            ERR_clear_error();
            throw ESocketException("The certificate file cannot be read: " + trustedFile);
        }
        // A certificate the user names is trusted as it stands, also when it is not a self-signed root.
        X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(FCtx.get()), X509_V_FLAG_PARTIAL_CHAIN);
    }
    SSL_CTX_set_app_data(FCtx.get(), this);
    SSL_CTX_set_session_cache_mode(FCtx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(FCtx.get(), NewSession);
}

TTlsContext::~TTlsContext() = default;

ssl_session_st* TTlsContext::Session(const std::string& host) const {
    const auto found = FSessions.find(host);
    return found == FSessions.end() ? nullptr : found->second.get();
}

void TTlsContext::Remember(const std::string& host, ssl_session_st* session) {
    FSessions[host].reset(session);
}

void TTlsContext::Forget(const std::string& host) {
    FSessions.erase(host);
}
