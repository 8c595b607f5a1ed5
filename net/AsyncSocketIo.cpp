// The socket's data paths: the send chain, flushing, line reception and raw receives.
#include "net/AsyncSocket.h"

#include "net/LastError.h"
#include "net/ShownWait.h"
#include "net/SocketEventSource.h"
#include "net/TlsSession.h"

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>

using namespace SocketErrors;

namespace {

// A wait started for one loop is stopped however the loop is left, an exception included.
struct TStopOnExit {
    TShownWait& Wait;
    ~TStopOnExit() {
        if (Wait)
            Wait->Stop();
    }
};

} // namespace

int TCustomAsyncSocket::Send(const void* data, int len) {
    if (FState != wsConnected) {
        SetSocketLastError(WSAENOTCONN);
        RaiseSocketError(this, "Send");
    }
    if (len <= 0)
        return 0;
    if (FTls) {
        FTls->Write(static_cast<const char*>(data), len);
        const std::string_view encrypted = FTls->TakeOutput();
        Queue(encrypted.data(), static_cast<int>(encrypted.size()));
    } else {
        Queue(static_cast<const char*>(data), len);
    }
    TryToSend();
    // Everything left at once: the completion is still reported from the event loop, never from inside Send.
    // With no handler to hear it nothing is posted, which spares the loop a wake-up for every command written.
    if (FAllSent && FSocketHandle != INVALID_SOCKET && OnDataSent)
        FEventSource->Post(FSocketHandle, FD_WRITE, 0);
    return len;
}

void TCustomAsyncSocket::Queue(const char* bytes, int len) {
    if (len <= 0)
        return;
    FAllSent = false;
    if (FSendQueue.empty())
        FSendQueue.push_back(std::make_unique<TBuffer>());
    TBuffer* block = FSendQueue.back().get();
    for (;;) {
        const int n = block->Write(bytes, len);
        if (n >= len)
            break;
        len -= n;
        bytes += n;
        FSendQueue.push_back(std::make_unique<TBuffer>());
        block = FSendQueue.back().get();
    }
}

int TCustomAsyncSocket::SendText(const std::string& text) {
    return Send(text.data(), static_cast<int>(text.size()));
}

void TCustomAsyncSocket::TryToSend() {
    if (FSocketHandle == INVALID_SOCKET || FSendQueue.empty())
        return;
    for (;;) {
        TBuffer* block = FSendQueue.front().get();
        int len = 0;
        const char* pending = block->Peek(len);
        if (len <= 0) {
            if (FSendQueue.size() > 1) {
                FSendQueue.pop_front();
                continue;
            }
            FAllSent = true;
            return;
        }
        // MSG_NOSIGNAL: a peer that has gone must show as an error, never kill the program.
        const int flags = FSendFlags | MSG_NOSIGNAL;
        ssize_t sent;
        do {
            sent = FSocketType == SOCK_DGRAM
                       ? ::sendto(FSocketHandle, pending, static_cast<size_t>(len), flags,
                                  reinterpret_cast<const sockaddr*>(&FRemoteAddr), sizeof FRemoteAddr)
                       : ::send(FSocketHandle, pending, static_cast<size_t>(len), flags);
        } while (sent < 0 && errno == EINTR);
        if (sent == 0)
            return;
        if (sent < 0) {
            const int error = SetSocketLastErrorFromErrno();
            switch (error) {
            case WSAECONNRESET:
            case WSAENOTSOCK:
            case WSAENOTCONN:
            case WSAEINVAL:
                Close();
                return;
            case WSAEWOULDBLOCK:
                FEventSource->WriteBlocked();
                return;
            default:
                RaiseSocketError(this, "TryToSend failed");
            }
        }
        block->Remove(static_cast<int>(sent));
        if (sent < len) {
            // The platform's buffer is full: the rest goes when it reports room again.
            FEventSource->WriteBlocked();
            return;
        }
    }
}

void TCustomAsyncSocket::Flush() {
    if (FMultiThreaded) {
        while (FSocketHandle != INVALID_SOCKET && !FAllSent) {
            TryToSend();
            if (FSocketHandle != INVALID_SOCKET && !FAllSent)
                ProcessPendingMessages(true);
        }
        return;
    }
    if (!FWaitCtrl)
        throw ESocketException("No wait object assigned");
    TShownWait wait(FWaitCtrl.data(), FFlushTimeout);
    const TStopOnExit stop{wait};
    wait->Start();
    // Each pass blocks until the next event: room in the send buffer or a tick of the countdown.
    while (wait && wait->Running() && FSocketHandle != INVALID_SOCKET && !FAllSent) {
        TryToSend();
        if (FSocketHandle != INVALID_SOCKET && !FAllSent)
            ProcessPendingMessages(true);
    }
}

size_t TCustomAsyncSocket::QueuedBytes() const {
    size_t bytes = 0;
    for (const auto& block : FSendQueue)
        bytes += static_cast<size_t>(block->WritePos() - block->ReadPos());
    return bytes;
}

bool TCustomAsyncSocket::SendAll(int timeout) {
    if (FMultiThreaded)
        Flush();
    else if (!FWaitCtrl)
        throw ESocketException("No wait object assigned");
    if (FMultiThreaded || FAllSent)
        return FSocketHandle != INVALID_SOCKET && FAllSent;
    TShownWait wait(FWaitCtrl.data(), timeout);
    const TStopOnExit stop{wait};
    wait->Start();
    size_t left = QueuedBytes();
    while (wait && wait->Running() && FSocketHandle != INVALID_SOCKET && !FAllSent) {
        TryToSend();
        // Every byte taken starts the countdown again: it bounds a stall, not the transfer.
        if (const size_t now = QueuedBytes(); now < left) {
            left = now;
            wait->Reset();
        }
        if (FSocketHandle != INVALID_SOCKET && !FAllSent)
            ProcessPendingMessages(true);
    }
    return FSocketHandle != INVALID_SOCKET && FAllSent;
}

int TCustomAsyncSocket::RcvdCount() {
    int count = 0;
    if (!WaitingBytes(count)) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "ioctlSocket");
    }
    return count;
}

bool TCustomAsyncSocket::WaitingBytes(int& count) {
    int platform = 0;
    if (::ioctl(FSocketHandle, FIONREAD, &platform) < 0)
        return false;
    count = FReceived.Count() + (FTls ? FTls->Pending() : 0) + platform;
    return true;
}

int TCustomAsyncSocket::Receive(void* buffer, int length) {
    // Bytes received with a line come first: they arrived before anything still in the platform's buffer.
    if (!FReceived.Empty()) {
        const int taken = FReceived.Take(buffer, length);
        FReadCount += taken;
        FEventSource->ReadDone();
        return taken;
    }
    const ssize_t n = ::recv(FSocketHandle, buffer, static_cast<size_t>(std::max(length, 0)), 0);
    if (n < 0)
        FLastError = SetSocketLastErrorFromErrno();
    else
        FReadCount += static_cast<int>(n);
    FEventSource->ReadDone();
    return static_cast<int>(n);
}

int TCustomAsyncSocket::ReceiveFrom(void* buffer, int length, sockaddr_in& from, int& fromLength) {
    socklen_t size = static_cast<socklen_t>(std::clamp<int>(fromLength, 0, sizeof from));
    const ssize_t n = ::recvfrom(FSocketHandle, buffer, static_cast<size_t>(std::max(length, 0)), 0,
                                 reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0)
        FLastError = SetSocketLastErrorFromErrno();
    else
        FReadCount += static_cast<int>(n);
    fromLength = static_cast<int>(size);
    FEventSource->ReadDone();
    return static_cast<int>(n);
}

void TCustomAsyncSocket::HandleRead(int error) {
    try {
        if (FTls && !FTls->Established()) {
            if (!FTls->HasFailed())
                ReadHandshake();
            return;
        }
        int waiting = -1;
        for (;;) {
            FLastError = 0;
            if (FLineMode)
                ReadLineBytes();
            else if (OnDataAvailable)
                OnDataAvailable(this, error);
            else
                break;
            if (FLastError != 0 || FSocketHandle == INVALID_SOCKET)
                break;
            // Nobody left to take more bytes (a line is complete): counting them would change nothing.
            if (!FLineMode && !OnDataAvailable)
                break;
            int count = 0;
            if (!WaitingBytes(count)) {
                FLastError = SetSocketLastErrorFromErrno();
                break;
            }
            // A handler that takes nothing would otherwise be called for ever with the same bytes.
            if (count == 0 || (!FLineMode && count == waiting))
                break;
            waiting = count;
        }
    } catch (...) {
        // A failure while reading ends this read; the socket's state tells the rest.
    }
}

void TCustomAsyncSocket::StartLine() {
    FLineComplete = false;
    if (!FLineMode) {
        FLineBuffer[0] = 0;
        FLineLength = 0;
        FLineMode = true;
    }
}

bool TCustomAsyncSocket::FillReceived() {
    if (FTls)
        return FillDecrypted();
    ssize_t n;
    do {
        n = ::recv(FSocketHandle, FReceived.Space(), TReceiveBuffer::BlockSize, 0);
    } while (n < 0 && errno == EINTR);
    const int recvErrno = errno;
    if (n > 0) {
        FReceived.Filled(static_cast<int>(n));
        return true;
    }
    FReceived.Clear();
    const int error = n == 0 ? 0 : SocketErrorFromErrno(recvErrno);
    if (error == WSAEWOULDBLOCK || (n == 0 && FSocketType == SOCK_DGRAM)) {
        FEventSource->ReadDone();
        return false;
    }
    if (n == 0 || error == WSAECONNRESET) {
        // The receive has taken the end (or the reset) from the platform: the close is reported as an event,
        // with its error, exactly as when the platform reports it first.
        FEventSource->ReadClosed(error);
        return false;
    }
    FLineMode = false;
    SetSocketLastError(error);
    RaiseSocketError(this, "ReadLine");
}

bool TCustomAsyncSocket::FillHeld() {
    return FTls && FTls->Pending() > 0 && FillDecrypted();
}

void TCustomAsyncSocket::ReadLineBytes(bool receive) {
    for (;;) {
        if (FSocketHandle == INVALID_SOCKET) {
            FLineMode = false;
            StopWait();
            return;
        }
        if (FState != wsConnected)
            return;
        // Whole blocks are received, but a line takes only its own bytes: the next line stays in the buffer for
        // the next reader, as it would stay in the platform's buffer.
        if (FReceived.Empty() && !(receive ? FillReceived() : FillHeld()))
            return;
        bool endOfLine = false;
        while (!endOfLine && !FReceived.Empty()) {
            const unsigned char byte = FReceived.TakeByte();
            ++FReadCount;
            endOfLine = byte == '\n';
            if (byte != '\n' && byte != '\r') {
                FLineBuffer[++FLineLength] = static_cast<char>(byte);
                FLineBuffer[0] = static_cast<char>(FLineLength);
            }
            if (FLineLength >= 254) {
                endOfLine = true;
                if (OnLineTooLong)
                    OnLineTooLong(this);
            }
        }
        FEventSource->ReadDone();
        if (endOfLine) {
            FLineComplete = true;
            FLineMode = false;
            StopWait();
            return;
        }
    }
}

void TCustomAsyncSocket::ReadLine(int timeout, std::string& line) {
    if (!FMultiThreaded && !FWaitCtrl)
        throw ESocketException("No wait object assigned");
    StartLine();
    // Bytes already received come first. The platform is asked too only when its next bytes would not be reported
    // anyway: a receive that finds nothing, before each reply, costs more than the reply's own reading.
    ReadLineBytes(FMultiThreaded || FPaused || !FEventSource->ReadArmed());
    if (FLineMode)
        WaitUntil(timeout, [this] { return !FLineMode; });
    // The text carries its own length: a close during the wait resets the count, not the text received.
    line.assign(FLineBuffer + 1, static_cast<unsigned char>(FLineBuffer[0]));
}

void TCustomAsyncSocket::TakeLine(std::string& line) {
    StartLine();
    ReadLineBytes(true);
    line.assign(FLineBuffer + 1, static_cast<unsigned char>(FLineBuffer[0]));
}

bool TCustomAsyncSocket::Quiet() {
    if (FSocketHandle == INVALID_SOCKET || FState != wsConnected || FSocketType != SOCK_STREAM)
        return false;
    if (!FReceived.Empty())
        return false;
    if (FTls)
        return TlsQuiet();
    // The close may sit in the platform while its event is still on the way: one peeked byte tells.
    char byte;
    const ssize_t n = ::recv(FSocketHandle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return false;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    HandleAsyncSelect(FSocketHandle, FD_CLOSE, n == 0 ? 0 : SocketErrorFromErrno(errno));
    return false;
}

void TCustomAsyncSocket::DrainUntilClosed() {
    while (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
        ProcessPendingMessages(false);
        if (FSocketHandle == INVALID_SOCKET || FState == wsClosed)
            break;
        int count = 0;
        if (!WaitingBytes(count))
            break;
        if (count > 0) {
            if (FLineMode)
                ReadLineBytes();
            else if (OnDataAvailable)
                OnDataAvailable(this, 0);
            if (FSocketHandle == INVALID_SOCKET)
                break;
            int left = 0;
            if (WaitingBytes(left) && left >= count) {
                // Nobody took the bytes: draining means dropping them.
                char sink[1514];
                Receive(sink, std::min<int>(left, sizeof sink));
            }
        }
        // Bytes still held come before anything the platform can tell about the connection.
        if (!FReceived.Empty())
            continue;
        // A peeked byte tells an open, an ended and a failed connection apart without taking anything.
        char byte;
        const ssize_t n = ::recv(FSocketHandle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) {
            FLastError = 0;
            break;
        }
        if (n < 0) {
            FLastError = SetSocketLastErrorFromErrno();
            if (FLastError != WSAEWOULDBLOCK)
                break;
            FEventSource->ReadDone();
            ProcessPendingMessages(true);
        }
    }
}
