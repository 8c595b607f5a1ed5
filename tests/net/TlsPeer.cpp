// The TLS peer: one connection at a time, each with a few seconds' receive timeout so no test hangs on it.
#include "tests/net/TlsPeer.h"
#include "tests/servers/LoopbackListener.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool WriteText(SSL* ssl, const std::string& text) {
    return SSL_write(ssl, text.data(), static_cast<int>(text.size())) > 0;
}

// One line without its CR LF; false when the connection ended or failed (error tells how).
bool ReadLine(SSL* ssl, std::string& line, int& error) {
    line.clear();
    char ch;
    for (;;) {
        const int n = SSL_read(ssl, &ch, 1);
        if (n <= 0) {
            error = SSL_get_error(ssl, n);
            return false;
        }
        if (ch == '\n')
            return true;
        if (ch != '\r')
            line += ch;
    }
}

} // namespace

TlsPeer::TlsPeer(const Options& options) : FOptions(options) {
    FCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(FCtx, options.Certificate.c_str());
    SSL_CTX_use_PrivateKey_file(FCtx, options.Key.c_str(), SSL_FILETYPE_PEM);
    if (options.MaxVersion == Options::TVersion::Tls11) {
        SSL_CTX_set_security_level(FCtx, 0); // TLS 1.1 is below every level above 0
        SSL_CTX_set_min_proto_version(FCtx, 0);
        SSL_CTX_set_max_proto_version(FCtx, TLS1_1_VERSION);
    } else if (options.MaxVersion == Options::TVersion::Tls12) {
        SSL_CTX_set_max_proto_version(FCtx, TLS1_2_VERSION);
    }
    FListen = ListenOnLoopback(FPort);
    if (FListen < 0)
        return; // Port() stays 0 and the test fails on it
    FThread = std::thread([this] { Serve(); });
}

TlsPeer::~TlsPeer() {
    FStopping = true;
    if (FThread.joinable())
        FThread.join();
    if (FListen >= 0)
        ::close(FListen);
    SSL_CTX_free(FCtx);
}

void TlsPeer::Serve() {
    // A client that hangs up mid-write must end the write with EPIPE, not the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pollfd entry{FListen, POLLIN, 0};
    while (!FStopping) {
        if (::poll(&entry, 1, 20) <= 0)
            continue;
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const timeval limit{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        Converse(fd);
        ::close(fd);
        ERR_clear_error();
    }
}

void TlsPeer::Converse(int fd) {
    SSL* ssl = SSL_new(FCtx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        return;
    }
    ++FHandshakes;
    if (SSL_session_reused(ssl))
        ++FResumed;
    if (FOptions.Renegotiate) {
        SSL_renegotiate(ssl);
        SSL_do_handshake(ssl); // sends the request; the client's answer comes with its next line
    }
    std::string line;
    int error = 0;
    bool open = WriteText(ssl, "220 ready\r\n");
    while (open && ReadLine(ssl, line, error)) {
        if (FOptions.Renegotiate) {
            ++FRenegotiated;
            FOptions.Renegotiate = false;
        }
        if (line == "QUIT") {
            WriteText(ssl, "221 bye\r\n");
            // Only close_notify makes the next read end cleanly; a bare close is an unexpected end.
            if (!ReadLine(ssl, line, error) && error == SSL_ERROR_ZERO_RETURN)
                ++FCloseNotifies;
            break;
        }
        if (line.rfind(FOptions.BreakOn, 0) == 0)
            open = ::send(fd, "\x17\x03\x03\x00\x05garbage", 12, MSG_NOSIGNAL) > 0;
        else
            open = WriteText(ssl, "250 ok\r\n");
    }
    // The client's no_renegotiation alert, as opposed to a client that simply went away.
    if (FOptions.Renegotiate && error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_NO_RENEGOTIATION)
        ++FRefused;
    SSL_free(ssl);
}
