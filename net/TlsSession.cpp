// TLS 1.2 or later through OpenSSL 3 memory BIOs, with the certificate checked against the trusted store and the
// server's name or address.
#include "net/TlsSession.h"

#include "net/SocketError.h"
#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>

namespace {

bool IsIpAddress(const std::string& host) {
    in6_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 || ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// SSL_get_error needs an empty error queue before each call it judges. Emptying an empty queue still walks all
// its slots, for every record: a look first is far cheaper.
void ClearErrors() {
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

} // namespace

void TTlsSession::TSslFree::operator()(ssl_st* ssl) const {
    SSL_free(ssl);
}

TTlsSession::TTlsSession(std::shared_ptr<TTlsContext> context, const std::string& host)
    : FContext(std::move(context)), FHost(host) {
    // "mail.example.org." is the same name written absolutely; certificates and SNI carry it without the dot.
    while (FHost.size() > 1 && FHost.back() == '.')
        FHost.pop_back();
    ERR_clear_error();
    FSsl.reset(SSL_new(FContext->Handle()));
    if (!FSsl)
        throw ESocketException("The secure connection cannot be prepared (OpenSSL)");
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    SSL_set_bio(FSsl.get(), incoming, outgoing);
    SSL_set_connect_state(FSsl.get());
    SSL_set_app_data(FSsl.get(), &FHost);
    if (IsIpAddress(FHost)) {
        // RFC 6066 3: no SNI for an address; the certificate must name the address itself.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl.get()), FHost.c_str());
    } else {
        SSL_set_tlsext_host_name(FSsl.get(), FHost.c_str());
        // RFC 9525: the name is checked against the subject alternative names only, and a wildcard stands for a
        // whole label or for nothing.
        SSL_set_hostflags(FSsl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        SSL_set1_host(FSsl.get(), FHost.c_str());
    }
    if (SSL_SESSION* earlier = FContext->Session(FHost))
        SSL_set_session(FSsl.get(), earlier);
}

TTlsSession::~TTlsSession() = default;

void TTlsSession::Begin() {
    Feed(nullptr, 0);
}

TTlsSession::TStatus TTlsSession::Feed(const char* data, int len) {
    if (FFailed)
        return TStatus::Failed;
    if (len > 0)
        BIO_write(SSL_get_rbio(FSsl.get()), data, len);
    if (!FEstablished) {
        ClearErrors();
        const int rc = SSL_do_handshake(FSsl.get());
        if (rc != 1) {
            const int error = SSL_get_error(FSsl.get(), rc);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
                return TStatus::Working;
            const long verify = SSL_get_verify_result(FSsl.get());
            if (verify != X509_V_OK)
                Fail(VerifyErrorText(verify, FHost));
            else
                FailFromQueue("The server ended the secure connection set-up");
            return TStatus::Failed;
        }
        FEstablished = true;
    }
    return ReadRecords();
}

TTlsSession::TStatus TTlsSession::ReadRecords() {
    if (FPlainStart > 0 && FPlainStart == FPlain.size()) {
        FPlain.clear();
        FPlainStart = 0;
    }
    char buffer[16384];
    for (;;) {
        ClearErrors();
        const int n = SSL_read(FSsl.get(), buffer, sizeof buffer);
        if (n > 0) {
            FPlain.append(buffer, static_cast<size_t>(n));
            // Nothing left to decrypt: another read could only answer "want read", at the cost of a record's work.
            if (SSL_pending(FSsl.get()) == 0 && BIO_ctrl_pending(SSL_get_rbio(FSsl.get())) == 0)
                return TStatus::Working;
            continue;
        }
        const int error = SSL_get_error(FSsl.get(), n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return TStatus::Working;
        if (error == SSL_ERROR_ZERO_RETURN)
            return TStatus::Closed;
        FailFromQueue("The secure connection failed");
        return TStatus::Failed;
    }
}

int TTlsSession::Read(char* buffer, int len) {
    const int n = std::min(len, Pending());
    if (n <= 0)
        return 0;
    FPlain.copy(buffer, static_cast<size_t>(n), FPlainStart);
    FPlainStart += static_cast<size_t>(n);
    return n;
}

void TTlsSession::Write(const char* data, int len) {
    // A memory buffer takes everything: one call encrypts the whole text.
    if (!FEstablished || FFailed || len <= 0)
        return;
    ClearErrors();
    if (SSL_write(FSsl.get(), data, len) <= 0)
        FailFromQueue("The secure connection failed");
}

bool TTlsSession::Resumed() const {
    return FEstablished && SSL_session_reused(FSsl.get()) == 1;
}

void TTlsSession::Shutdown() {
    if (!FEstablished || FFailed)
        return;
    ClearErrors();
    SSL_shutdown(FSsl.get());
}

std::string_view TTlsSession::TakeOutput() {
    BIO* outgoing = SSL_get_wbio(FSsl.get());
    const size_t pending = BIO_ctrl_pending(outgoing);
    // The buffer keeps its room from one record to the next.
    FOutput.resize(pending);
    if (pending > 0)
        FOutput.resize(static_cast<size_t>(std::max(0, BIO_read(outgoing, FOutput.data(), static_cast<int>(pending)))));
    return FOutput;
}

void TTlsSession::Fail(const std::string& text) {
    FFailed = true;
    FContext->Forget(FHost);
    if (FError.empty())
        FError = text;
    ERR_clear_error();
}

void TTlsSession::FailFromQueue(const char* fallback) {
    const unsigned long code = ERR_peek_last_error();
    // Plain text where a TLS record should be: the usual slip of SSL/TLS chosen for a STARTTLS port.
    if (!FEstablished && ERR_GET_LIB(code) == ERR_LIB_SSL &&
        (ERR_GET_REASON(code) == SSL_R_WRONG_VERSION_NUMBER || ERR_GET_REASON(code) == SSL_R_PACKET_LENGTH_TOO_LONG)) {
        FPlainText = true;
        Fail("The server does not speak TLS on this port (choose STARTTLS, or the port for SSL/TLS)");
        return;
    }
    // The server knows no TLS version this program accepts: only TLS 1.1 or older, which are broken.
    if (!FEstablished && ERR_GET_LIB(code) == ERR_LIB_SSL &&
        (ERR_GET_REASON(code) == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
         ERR_GET_REASON(code) == SSL_R_UNSUPPORTED_PROTOCOL)) {
        Fail(std::string("The server offers only an outdated secure connection (TLS 1.1 or older), which is no longer "
                         "safe; ask its administrator to enable TLS 1.2 or later (") +
             ERR_reason_error_string(code) + ")");
        return;
    }
    if (FEstablished) {
        const char* detail = code != 0 ? ERR_reason_error_string(code) : nullptr;
        Fail(std::string("The secure connection broke: the server sent data that is not valid TLS") +
             (detail ? std::string(" (") + detail + ")" : std::string()));
        return;
    }
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    Fail(reason ? std::string("The secure connection with the server failed: ") + reason : std::string(fallback));
}

std::string TTlsSession::VerifyErrorText(long code, const std::string& host) {
    switch (code) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "The server's certificate is not valid for " + host;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "The server's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "The server's certificate is not valid yet";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "The server's certificate is self-signed and not trusted";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "The server's certificate was not issued by a trusted authority";
    case X509_V_ERR_CERT_REVOKED:
        return "The server's certificate has been revoked";
    default:
        return std::string("The server's certificate could not be verified: ") + X509_verify_cert_error_string(code);
    }
}
