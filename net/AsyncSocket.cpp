// The socket's life: properties and their conversions, connect, state changes, waits, event dispatch and closing.
#include "net/AsyncSocket.h"

#include "framework/core/Text.h"
#include "net/LastError.h"
#include "net/LeadingNumber.h"
#include "net/ShownWait.h"
#include "net/SocketEventSource.h"
#include "net/TlsSession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace SocketErrors;

namespace {

// Service and protocol names reach the resolver through 32-byte buffers, host names through 256 bytes.
constexpr size_t MaxServiceName = 31;
constexpr size_t MaxHostName = 255;

bool StartsWithDigit(const std::string& text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

using TFound = std::vector<std::pair<sockaddr_storage, socklen_t>>;

// A numeric IPv4 or IPv6 address ("[::1]" too); false for any other text.
bool NumericAddress(std::string name, sockaddr_storage& storage, socklen_t& length) {
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    storage = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    // inet_addr takes the short forms ("127.1") older settings may hold.
    const in_addr_t address = ::inet_addr(name.c_str());
    if (address != INADDR_NONE || name == "255.255.255.255") {
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = address;
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// RFC 8305 4: the resolver's order (RFC 6724) kept within each family, the families taken in turn, IPv6 first.
TFound Interleaved(const TFound& found) {
    TFound v6;
    TFound v4;
    for (const auto& address : found)
        (address.first.ss_family == AF_INET6 ? v6 : v4).push_back(address);
    TFound order;
    for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            order.push_back(v6[i]);
        if (i < v4.size())
            order.push_back(v4[i]);
    }
    return order;
}

// Host name or numeric address to the addresses to try, both families.
TFound ResolveHost(const std::string& text) {
    const std::string name = Text::Trim(text);
    sockaddr_storage numeric{};
    socklen_t length = 0;
    if (NumericAddress(name, numeric, length))
        return {{numeric, length}};
    auto refuse = [&text] { throw ESocketException("SetAddr: Cannot convert host address '" + text + "'"); };
    if (name.empty() || name.size() > MaxHostName) {
        SetSocketLastError(WSAEINVAL);
        refuse();
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0 || !result) {
        SetSocketLastError(SocketErrorFromResolver(rc));
        refuse();
    }
    TFound found;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) || entry->ai_addrlen > sizeof numeric)
            continue;
        sockaddr_storage address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        const bool known = std::any_of(found.begin(), found.end(), [&](const auto& other) {
            return other.second == entry->ai_addrlen && std::memcmp(&other.first, &address, entry->ai_addrlen) == 0;
        });
        if (!known)
            found.emplace_back(address, entry->ai_addrlen);
    }
    ::freeaddrinfo(result);
    if (found.empty()) {
        SetSocketLastError(WSANO_DATA);
        refuse();
    }
    return Interleaved(found);
}

} // namespace

std::string TCustomAsyncSocket::NumericText(const sockaddr_storage& address, socklen_t length) {
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return text;
}

TCustomAsyncSocket::TCustomAsyncSocket(QObject* owner)
    : QObject(owner),
      FEventSource(std::make_unique<TSocketEventSource>(
          [this](int handle, int events, int error) { HandleAsyncSelect(handle, events, error); },
          TSocketEventSource::TReader{
              [this] { return Holding(); },
              [this] { return FLineMode && FState == wsConnected && FSocketHandle != INVALID_SOCKET; }})),
      FAttemptTimer(std::make_unique<QTimer>()) {
    FAttemptTimer->setSingleShot(true);
    QObject::connect(FAttemptTimer.get(), &QTimer::timeout, this, [this] { AttemptTimedOut(); });
    ResetDefaults();
}

TCustomAsyncSocket::~TCustomAsyncSocket() {
    // Handlers belong to owners that may be half destroyed already: nothing is reported from here on.
    FDestroying = true;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSessionClosed = nullptr;
    OnSessionAvailable = nullptr;
    OnSessionConnected = nullptr;
    OnChangeState = nullptr;
    OnLineTooLong = nullptr;
    OnDnsLookupDone = nullptr;
    CancelDnsLookup();
    try {
        if (FState != wsClosed || FSocketHandle != INVALID_SOCKET)
            Abort();
    } catch (const ESocketException&) {
        // The handle is gone either way; a destructor has nobody to tell.
    }
    ReleaseHandle();
}

void TCustomAsyncSocket::SetProto(const std::string& text) {
    if (FProtoAssigned && text == FProtoText)
        return;
    if (FState != wsClosed)
        throw ESocketException("Cannot change Proto if not closed");
    FProtoText = text;
    const std::string name = Text::TrimBlanks(text);
    auto refuse = [this, &name](int code) {
        FProtoAssigned = false;
        SetSocketLastError(code);
        RaiseSocketError(this, "SetProto: Cannot convert protocol '" + name + "'");
    };
    if (name.empty() || name.size() > MaxServiceName)
        refuse(WSAEINVAL);
    if (StartsWithDigit(name)) {
        const int number = Net::LeadingNumber(name);
        if (number > 255)
            refuse(WSAEINVAL);
        FProtoNumber = number;
    } else {
        protoent entry{};
        protoent* found = nullptr;
        char buffer[1024];
        if (::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
            refuse(WSANO_DATA);
        FProtoNumber = found->p_proto;
    }
    FProtoAssigned = true;
    FSocketType = FProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
}

void TCustomAsyncSocket::SetPort(const std::string& text) {
    if (FPortAssigned && text == FPortText)
        return;
    if (FState != wsClosed)
        throw ESocketException("Cannot change Port if not closed");
    FPortText = text;
    FPortAssigned = true;
    const std::string name = Text::TrimBlanks(text);
    auto refuse = [this, &name](int code) {
        FPortAssigned = false;
        SetSocketLastError(code);
        RaiseSocketError(this, "SetPort: Cannot convert port '" + name + "'");
    };
    if (name.empty() || name.size() > MaxServiceName)
        refuse(WSAEINVAL);
    int port = 0;
    if (StartsWithDigit(name)) {
        // A number beyond 16 bits would silently name another port.
        const int number = Net::LeadingNumber(name);
        if (number > 65535)
            refuse(WSAEINVAL);
        port = number;
    } else {
        const std::string proto = Text::TrimBlanks(FProtoText);
        servent entry{};
        servent* found = nullptr;
        char buffer[1024];
        if (::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buffer, sizeof buffer,
                              &found) != 0 ||
            !found)
            refuse(WSANO_DATA);
        port = ntohs(static_cast<uint16_t>(found->s_port));
    }
    FRemoteAddr.sin_port = htons(static_cast<uint16_t>(port));
    FPortNumber = port;
}

void TCustomAsyncSocket::SetAddr(const std::string& text) {
    if (FAddrAssigned && text == FAddrText)
        return;
    if (FState != wsClosed)
        throw ESocketException("Cannot change Addr if not closed");
    FAddrText = text;
    FAddrAssigned = false;
    FAddresses.clear();
    for (const auto& [address, length] : ResolveHost(text))
        FAddresses.push_back({address, length});
    // Datagrams and listening stay with IPv4: the first such address, or none.
    FRemoteAddr.sin_addr.s_addr = INADDR_ANY;
    for (const TAddress& address : FAddresses)
        if (address.Storage.ss_family == AF_INET) {
            FRemoteAddr.sin_addr = reinterpret_cast<const sockaddr_in*>(&address.Storage)->sin_addr;
            break;
        }
    FAddrAssigned = true;
}

void TCustomAsyncSocket::SetAddresses(const std::vector<std::string>& literals) {
    if (FState != wsClosed)
        throw ESocketException("Cannot change Addr if not closed");
    std::vector<TAddress> addresses;
    for (const std::string& literal : literals) {
        TAddress address;
        if (!NumericAddress(Text::Trim(literal), address.Storage, address.Length))
            throw ESocketException("SetAddr: Cannot convert host address '" + literal + "'");
        addresses.push_back(address);
    }
    if (addresses.empty())
        throw ESocketException("SetAddr: no address");
    FAddresses = std::move(addresses);
    FAddrText = literals.front();
    FAddrAssigned = true;
}

std::vector<std::string> TCustomAsyncSocket::Addresses() const {
    std::vector<std::string> texts;
    for (const TAddress& address : FAddresses)
        texts.push_back(NumericText(address.Storage, address.Length));
    return texts;
}

TSocketSendFlags TCustomAsyncSocket::SendFlags() const {
    if (FSendFlags == 0)
        return wsSendNormal;
    if (FSendFlags == MSG_OOB)
        return wsSendUrgent;
    throw ESocketException("Invalid internal SendFlags");
}

void TCustomAsyncSocket::SetSendFlags(TSocketSendFlags flags) {
    switch (flags) {
    case wsSendNormal:
        FSendFlags = 0;
        return;
    case wsSendUrgent:
        FSendFlags = MSG_OOB;
        return;
    }
    throw ESocketException("Invalid SendFlags");
}

void TCustomAsyncSocket::Connect() {
    if (FSocketHandle != INVALID_SOCKET && FState != wsClosed)
        throw ESocketException("Connect: Socket already in use");
    if (!FPortAssigned)
        throw ESocketException("Connect: No Port Specified");
    if (!FAddrAssigned)
        throw ESocketException("Connect: No IP Address Specified");
    if (!FProtoAssigned)
        throw ESocketException("Connect: No Protocol Specified");
    FTlsError.clear(); // a failure of the last connection's session is no failure of this one
    if (FSocketType != SOCK_DGRAM) {
        FAddressIndex = 0;
        FAttemptTimer->stop();
        ConnectStream(false);
        return;
    }
    if (!OpenHandle(FAddressFamily)) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "Connect (socket)");
    }
    UpdateState(wsConnected);
    if (OnSessionConnected)
        OnSessionConnected(this, 0);
}

bool TCustomAsyncSocket::OpenHandle(int family) {
    const TSocket handle = ::socket(family, FSocketType | SOCK_CLOEXEC, FProtoNumber);
    if (handle < 0)
        return false;
    FSocketHandle = handle;
    if (FState != wsConnecting) // a further address of the same connect is no new step
        UpdateState(wsOpened);
    const bool datagram = FSocketType == SOCK_DGRAM;
    auto option = [this](int name, const void* value, socklen_t size, const char* functionName) {
        if (::setsockopt(FSocketHandle, SOL_SOCKET, name, value, size) < 0) {
            SetSocketLastErrorFromErrno();
            RaiseSocketError(this, functionName);
        }
    };
    const int on = 1;
    if (datagram) {
        BindLocal();
        if (FRemoteAddr.sin_addr.s_addr == INADDR_NONE)
            option(SO_BROADCAST, &on, sizeof on, "setsockopt(SO_BROADCAST)");
    } else {
        // Linger on with no time: a close drops what is unsent and resets the connection at once.
        const linger lingerOption{1, 0};
        option(SO_LINGER, &lingerOption, sizeof lingerOption, "setsockopt(SO_LINGER)");
        option(SO_KEEPALIVE, &on, sizeof on, "setsockopt(SO_KEEPALIVE)");
        option(SO_REUSEADDR, &on, sizeof on, "setsockopt(SO_REUSEADDR)");
    }
    const auto mode = datagram ? TSocketEventSource::TMode::Datagram : TSocketEventSource::TMode::Connecting;
    if (!FEventSource->Attach(FSocketHandle, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE, mode)) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "WSAAsyncSelect");
    }
    return true;
}

bool TCustomAsyncSocket::ConnectStream(bool quiet) {
    for (;;) {
        TAddress& address = FAddresses[FAddressIndex];
        const auto port = htons(static_cast<uint16_t>(FPortNumber));
        if (address.Storage.ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&address.Storage)->sin6_port = port;
        else
            reinterpret_cast<sockaddr_in*>(&address.Storage)->sin_port = port;
        const bool opened = OpenHandle(address.Storage.ss_family);
        if (opened &&
            (::connect(FSocketHandle, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length) == 0 ||
             errno == EINPROGRESS || errno == EWOULDBLOCK)) {
            if (FState != wsConnecting)
                UpdateState(wsConnecting);
            if (FAddressIndex + 1 < FAddresses.size())
                FAttemptTimer->start(AttemptDelay);
            return true;
        }
        const int error = errno;
        // An address of a family this machine has no route for fails at once: the next one is tried.
        if (FAddressIndex + 1 < FAddresses.size()) {
            ReleaseHandle();
            ++FAddressIndex;
            continue;
        }
        errno = error;
        FLastError = SetSocketLastErrorFromErrno();
        if (quiet)
            return false;
        RaiseSocketError(this, opened ? "Connect" : "Connect (socket)");
    }
}

void TCustomAsyncSocket::AttemptTimedOut() {
    if (FState != wsConnecting || FSocketType != SOCK_STREAM || FAddressIndex + 1 >= FAddresses.size())
        return;
    if (TryNextAddress())
        return;
    // Every further address failed at once: the connect failed, told as a refused one is.
    UpdateState(wsConnected);
    if (OnSessionConnected)
        OnSessionConnected(this, FLastError);
    if (FState != wsClosed)
        Close();
}

bool TCustomAsyncSocket::TryNextAddress() {
    if (FSocketType != SOCK_STREAM || FAddressIndex + 1 >= FAddresses.size())
        return false;
    ReleaseHandle();
    ++FAddressIndex;
    return ConnectStream(true);
}

void TCustomAsyncSocket::UpdateState(TSocketState newState) {
    const TSocketState oldState = FState;
    FState = newState;
    if (OnChangeState)
        OnChangeState(this, oldState, newState);
    if (!FMultiThreaded && FWaitCtrl &&
        (newState == FAwaitedState || (FAwaitedState == wsConnected && newState == wsClosed)))
        FWaitCtrl->Stop();
}

void TCustomAsyncSocket::StopWait() {
    if (!FMultiThreaded && FWaitCtrl)
        FWaitCtrl->Stop();
}

void TCustomAsyncSocket::ProcessPendingMessages(bool block) {
    QCoreApplication::processEvents(block ? QEventLoop::WaitForMoreEvents : QEventLoop::AllEvents);
}

void TCustomAsyncSocket::WaitUntil(int timeout, const std::function<bool()>& done) {
    if (!FMultiThreaded) {
        TShownWait wait(FWaitCtrl.data(), timeout);
        wait->Run();
        return;
    }
    if (timeout <= 0)
        return;
    const QDeadlineTimer deadline(static_cast<qint64>(timeout) * 1000);
    // The wake-up at the deadline lets the loop block for events instead of polling the clock.
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    wakeUp.start(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 0x7fffffff)));
    while (!done() && !deadline.hasExpired())
        ProcessPendingMessages(true);
}

bool TCustomAsyncSocket::Wait(int timeout, TSocketState awaitedState) {
    if (FState == awaitedState)
        return true;
    if (!FMultiThreaded && !FWaitCtrl) {
        SetSocketLastError(WSANO_DATA);
        RaiseSocketError(this, "TAsyncSocket.Wait");
    }
    FAwaitedState = awaitedState;
    struct TAwaitGuard {
        TSocketState& Awaited;
        ~TAwaitGuard() { Awaited = wsInvalidState; }
    } guard{FAwaitedState};
    WaitUntil(timeout, [this, awaitedState] { return FState == awaitedState; });
    return FState == awaitedState;
}

void TCustomAsyncSocket::HandleAsyncSelect(TSocket handle, int events, int error) {
    if (handle != FSocketHandle || FPaused)
        return;
    if (events & FD_CONNECT) {
        // A refused or unreachable address gives way to the next one; the caller hears only of the last.
        if (error != 0 && FState == wsConnecting) {
            if (TryNextAddress())
                return;
            if (FSocketHandle != handle)
                error = FLastError;
        }
        UpdateState(wsConnected);
        if (OnSessionConnected)
            OnSessionConnected(this, error);
        if (error != 0 && FState != wsClosed)
            Close();
    }
    // A handler above may have closed the socket: what follows belonged to that connection.
    if ((events & FD_READ) && handle == FSocketHandle)
        HandleRead(error);
    if ((events & FD_WRITE) && handle == FSocketHandle) {
        TryToSend();
        if (FAllSent && OnDataSent)
            OnDataSent(this, error);
    }
    if ((events & FD_ACCEPT) && handle == FSocketHandle && OnSessionAvailable)
        OnSessionAvailable(this, error);
    if ((events & FD_CLOSE) && handle == FSocketHandle && FState != wsConnecting) {
        HandleRead(error);
        if (FLineMode) {
            FLineMode = false;
            StopWait();
        }
        if (OnSessionClosed && !FClosedReported) {
            FClosedReported = true;
            OnSessionClosed(this, error);
        }
        if (FState != wsClosed)
            Close();
    }
}

void TCustomAsyncSocket::Close() {
    InternalClose(true);
}

void TCustomAsyncSocket::Abort() {
    InternalClose(false);
}

void TCustomAsyncSocket::InternalClose(bool doShutdown) {
    // Bytes queued for this connection must never reach the next one.
    FSendQueue.clear();
    if (FSocketHandle == INVALID_SOCKET) {
        if (FState != wsClosed) {
            UpdateState(wsClosed);
            ResetDefaults();
        }
        return;
    }
    if (FState == wsClosed) {
        // Never leak a handle, even one the state machine has already given up.
        ReleaseHandle();
        return;
    }
    if (doShutdown)
        Shutdown(SHUT_RDWR);
    CloseHandleChecked("Disconnect (closesocket)");
    UpdateState(wsClosed);
    if (!FDestroying && !FClosedReported && OnSessionClosed) {
        FClosedReported = true;
        OnSessionClosed(this, 0);
    }
    ResetDefaults();
}

void TCustomAsyncSocket::CloseHandleChecked(const char* functionName) {
    FEventSource->Detach();
    const TSocket handle = FSocketHandle;
    FSocketHandle = INVALID_SOCKET;
    // After close the descriptor is released even when it reports an error, so it is never retried.
    if (::close(handle) != 0 && errno != EINTR) {
        FLastError = SetSocketLastErrorFromErrno();
        RaiseSocketError(this, functionName);
    }
}

void TCustomAsyncSocket::ReleaseHandle() {
    if (FSocketHandle == INVALID_SOCKET)
        return;
    FEventSource->Detach();
    ::close(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
}

void TCustomAsyncSocket::AbandonHandle() {
    ReleaseHandle();
    FSendQueue.clear();
    FAllSent = true;
    UpdateState(wsClosed);
}

void TCustomAsyncSocket::Shutdown(int how) {
    if (FSocketHandle != INVALID_SOCKET)
        ::shutdown(FSocketHandle, how);
}

void TCustomAsyncSocket::ResetDefaults() {
    FRemoteAddr = sockaddr_in{};
    FRemoteAddr.sin_family = AF_INET;
    FAddressFamily = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FProtoAssigned = true;
    FProtoNumber = IPPROTO_TCP;
    FProtoText = "tcp";
    FSocketType = SOCK_STREAM;
    FSocketHandle = INVALID_SOCKET;
    FState = wsClosed;
    FAwaitedState = wsInvalidState;
    FReadCount = 0;
    FFlushTimeout = 60;
    ResetConnection();
}

void TCustomAsyncSocket::ResetConnection() {
    FTls.reset();
    FSendQueue.clear();
    FAllSent = true;
    FLineMode = false;
    FLineLength = 0;
    FReceived.Clear();
    FClosedReported = false;
    FPaused = false;
}

std::string GetLocalHostName() {
    char buffer[64] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        throw ESocketException("Winsock.GetHostName failed");
    return buffer;
}
