// One TLS client session over memory buffers: the socket hands it the bytes the server sent and takes the bytes
// to send, so the session never touches the network and never blocks, and the socket's waits stay as they are.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct ssl_st;
class TTlsContext;

class TTlsSession {
public:
    enum class TStatus { Working, Closed, Failed };

    // host is what the certificate must be valid for: a name (also sent as SNI; a final dot does not count) or a
    // dotted IPv4 address. The context gives the trusted certificates and a session to resume with host.
    // Throws ESocketException when OpenSSL cannot prepare the connection.
    TTlsSession(std::shared_ptr<TTlsContext> context, const std::string& host);
    ~TTlsSession();
    TTlsSession(const TTlsSession&) = delete;
    TTlsSession& operator=(const TTlsSession&) = delete;

    // Starts the handshake: the first bytes to send are waiting afterwards.
    void Begin();
    // Bytes from the server: they advance the handshake, and once it is done every complete record's text is
    // kept for Read. Failed: ErrorText tells why. Closed: the server ended the session.
    TStatus Feed(const char* data, int len);
    bool Established() const { return FEstablished; }
    bool HasFailed() const { return FFailed; }
    // Decrypted bytes kept and not read yet.
    int Pending() const { return static_cast<int>(FPlain.size() - FPlainStart); }
    int Read(char* buffer, int len);
    // The handshake resumed an earlier session instead of a full one.
    bool Resumed() const;
    // The server sent clear text where the handshake's first record should be.
    bool PlainText() const { return FPlainText; }
    // Queues close_notify, the end of the session the server can tell from a cut connection.
    void Shutdown();
    // Encrypts text for sending; only once established.
    void Write(const char* data, int len);
    // The bytes to send, taken from the session by the call; valid until the next call.
    std::string_view TakeOutput();
    // Why the session failed, in the user's words.
    const std::string& ErrorText() const { return FError; }

    // The words for a certificate verification result of OpenSSL.
    static std::string VerifyErrorText(long code, const std::string& host);

private:
    void Fail(const std::string& text);
    void FailFromQueue(const char* fallback);
    TStatus ReadRecords();

    struct TSslFree {
        void operator()(ssl_st* ssl) const;
    };
    std::shared_ptr<TTlsContext> FContext;
    std::unique_ptr<ssl_st, TSslFree> FSsl; // owns both memory buffers
    std::string FHost;
    std::string FPlain;
    std::string FOutput;
    size_t FPlainStart = 0;
    bool FEstablished = false;
    bool FFailed = false;
    bool FPlainText = false;
    std::string FError;
};
