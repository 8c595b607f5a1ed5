// The socket's secure sessions: the TLS session sits between the send chain and the platform on the way out, and
// between the platform and the receive buffer on the way in, so lines, waits and events work as without it.
#include "net/AsyncSocket.h"

#include "net/LastError.h"
#include "net/SocketEventSource.h"
#include "net/TlsContext.h"
#include "net/TlsSession.h"

#include <cerrno>
#include <sys/socket.h>

using namespace SocketErrors;

namespace {

// The largest TLS record and its overhead: one receive takes a whole record when the platform has it.
constexpr int CiphertextBlock = 16384 + 2048;

} // namespace

void TCustomAsyncSocket::StartTls(const std::string& host, const std::string& trustedFile) {
    if (FState != wsConnected || FSocketHandle == INVALID_SOCKET || FSocketType != SOCK_STREAM) {
        SetSocketLastError(WSAENOTCONN);
        RaiseSocketError(this, "StartTls");
    }
    FTlsError.clear();
    // Bytes that came with or after the server's go-ahead would be served as if they had come through the secure
    // session: whoever sits on the path could add replies of their own (RFC 3207 4.2).
    if (Holding()) {
        FReceived.Clear();
        FTlsError = "The server sent data before the secure connection started; the connection was closed for safety.";
        throw ESocketException(FTlsError);
    }
    if (!FTlsContext || FTlsContext->TrustedFile() != trustedFile)
        FTlsContext = std::make_shared<TTlsContext>(trustedFile);
    FTls = std::make_unique<TTlsSession>(FTlsContext, host);
    FTls->Begin();
    SendTlsOutput();
    // The server's answer may be waiting already, read or not: ask for it through the event source.
    FEventSource->ReadDone();
}

bool TCustomAsyncSocket::WaitTls(int timeout) {
    const auto ended = [this] { return !FTls || FTls->Established() || FTls->HasFailed() || FState != wsConnected; };
    if (!ended()) {
        if (!FMultiThreaded && !FWaitCtrl)
            throw ESocketException("No wait object assigned");
        // A close during the handshake ends the wait as it ends a wait for the connection.
        FAwaitedState = wsClosed;
        struct TAwaitGuard {
            TSocketState& Awaited;
            ~TAwaitGuard() { Awaited = wsInvalidState; }
        } guard{FAwaitedState};
        WaitUntil(timeout, ended);
    }
    if (FTls && FTls->HasFailed() && FTlsError.empty())
        FTlsError = FTls->ErrorText();
    if (FState != wsConnected && FTlsError.empty())
        FTlsError = "The server closed the connection during the secure connection set-up";
    return TlsActive();
}

bool TCustomAsyncSocket::TlsResumed() const {
    return TlsActive() && FTls->Resumed();
}

bool TCustomAsyncSocket::TlsPlainText() const {
    return FTls && FTls->PlainText();
}

bool TCustomAsyncSocket::Holding() const {
    return !FReceived.Empty() || (FTls && FTls->Pending() > 0);
}

void TCustomAsyncSocket::EndTls() {
    if (!TlsActive())
        return;
    FTls->Shutdown();
    SendTlsOutput();
}

bool TCustomAsyncSocket::TlsActive() const {
    return FTls && FTls->Established() && !FTls->HasFailed() && FState == wsConnected;
}

void TCustomAsyncSocket::SendTlsOutput() {
    const std::string_view bytes = FTls->TakeOutput();
    if (bytes.empty())
        return;
    Queue(bytes.data(), static_cast<int>(bytes.size()));
    TryToSend();
}

void TCustomAsyncSocket::ReadHandshake() {
    char raw[CiphertextBlock];
    ssize_t n;
    do {
        n = ::recv(FSocketHandle, raw, sizeof raw, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        FReadCount += static_cast<int>(n);
        FTls->Feed(raw, static_cast<int>(n));
        if (FTls->HasFailed())
            FTlsError = FTls->ErrorText();
        else
            SendTlsOutput();
        if (FTls && (FTls->Established() || FTls->HasFailed()))
            StopWait();
        FEventSource->ReadDone();
        return;
    }
    const int error = n == 0 ? 0 : SocketErrorFromErrno(errno);
    if (error == WSAEWOULDBLOCK) {
        FEventSource->ReadDone();
        return;
    }
    FTlsError = "The server closed the connection during the secure connection set-up";
    FEventSource->ReadClosed(error);
    StopWait();
}

bool TCustomAsyncSocket::FillDecrypted() {
    while (FTls->Pending() == 0) {
        char raw[CiphertextBlock];
        ssize_t n;
        do {
            n = ::recv(FSocketHandle, raw, sizeof raw, 0);
        } while (n < 0 && errno == EINTR);
        const int error = n > 0 ? 0 : n == 0 ? 0 : SocketErrorFromErrno(errno);
        if (n < 0 && error == WSAEWOULDBLOCK) {
            FEventSource->ReadDone();
            return false;
        }
        if (n <= 0) {
            FEventSource->ReadClosed(error);
            return false;
        }
        const TTlsSession::TStatus status = FTls->Feed(raw, static_cast<int>(n));
        if (status == TTlsSession::TStatus::Failed) {
            // Bytes that do not decrypt cannot be read past: the connection ends as if reset.
            FTlsError = FTls->ErrorText();
            FEventSource->ReadClosed(WSAECONNRESET);
            return false;
        }
        SendTlsOutput();
        if (status == TTlsSession::TStatus::Closed && FTls->Pending() == 0) {
            FEventSource->ReadClosed(0);
            return false;
        }
    }
    FReceived.Filled(FTls->Read(FReceived.Space(), TReceiveBuffer::BlockSize));
    return true;
}

bool TCustomAsyncSocket::TlsQuiet() {
    while (FTls->Pending() == 0) {
        char raw[CiphertextBlock];
        const ssize_t n = ::recv(FSocketHandle, raw, sizeof raw, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            FEventSource->ReadDone();
            return true;
        }
        if (n <= 0) {
            HandleAsyncSelect(FSocketHandle, FD_CLOSE, n == 0 ? 0 : SocketErrorFromErrno(errno));
            return false;
        }
        const TTlsSession::TStatus status = FTls->Feed(raw, static_cast<int>(n));
        if (status == TTlsSession::TStatus::Working)
            SendTlsOutput();
        else if (FTls->Pending() == 0) {
            if (status == TTlsSession::TStatus::Failed)
                FTlsError = FTls->ErrorText();
            HandleAsyncSelect(FSocketHandle, FD_CLOSE, status == TTlsSession::TStatus::Failed ? WSAECONNRESET : 0);
            return false;
        }
    }
    return false;
}
