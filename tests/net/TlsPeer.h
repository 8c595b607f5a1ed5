// A TLS server on a thread of its own (OpenSSL over a blocking socket): greets with "220 ready", answers "250 ok"
// to each line, "221 bye" to QUIT, and to the command BreakOn with bytes that are no TLS record. It records what only the
// server side can see: resumed sessions, the client's close_notify, and whether a renegotiation was refused.
#pragma once

#include <atomic>
#include <string>
#include <thread>

struct ssl_ctx_st;

class TlsPeer {
public:
    struct Options {
        std::string Certificate;
        std::string Key;
        // The newest TLS version the server speaks.
        enum class TVersion { Any, Tls11, Tls12 } MaxVersion = TVersion::Any;
        // Asks for a renegotiation right after the handshake (TLS 1.2 only).
        bool Renegotiate = false;
        // The command (a verb such as "MAIL") answered with bytes that are no TLS record.
        std::string BreakOn = "BREAK";
    };

    explicit TlsPeer(const Options& options);
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int Port() const { return FPort; }
    int Handshakes() const { return FHandshakes; }
    int Resumed() const { return FResumed; }
    // Connections that ended with the client's close_notify after QUIT.
    int CloseNotifies() const { return FCloseNotifies; }
    // Connections where the client answered the renegotiation request by refusing it.
    int RenegotiationsRefused() const { return FRefused; }
    // Connections where the client went along with the renegotiation.
    int Renegotiated() const { return FRenegotiated; }

private:
    void Serve();
    void Converse(int fd);

    Options FOptions;
    ssl_ctx_st* FCtx = nullptr;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FHandshakes{0};
    std::atomic<int> FResumed{0};
    std::atomic<int> FCloseNotifies{0};
    std::atomic<int> FRefused{0};
    std::atomic<int> FRenegotiated{0};
    std::thread FThread;
};
