// The socket's lookups, server side, datagram binding, pausing, address queries and time-value helpers.
#include "net/AsyncSocket.h"

#include "net/LastError.h"
#include "net/SocketEventSource.h"

#include <QHostAddress>
#include <QHostInfo>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

using namespace SocketErrors;

namespace {

std::string Dotted(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

} // namespace

void TCustomAsyncSocket::DnsLookup(const std::string& hostName) {
    if (hostName.empty())
        throw ESocketException("DNS lookup: invalid host name.");
    if (FDnsTask) {
        QHostInfo::abortHostLookup(*FDnsTask);
        FDnsTask.reset();
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    const in_addr_t address = ::inet_addr(hostName.c_str());
    if (address != INADDR_NONE) {
        FDnsResult = Dotted(in_addr{address});
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, 0);
        return;
    }
    if (hostName.size() > 255) {
        throw ESocketException(hostName + ": can't start DNS lookup, error #" + std::to_string(WSAEINVAL));
    }
    FDnsTask = QHostInfo::lookupHost(QString::fromLatin1(hostName.data(), static_cast<qsizetype>(hostName.size())),
                                     FEventSource.get(),
                                     [this](const QHostInfo& info) { HandleHostLookup(info.lookupId(), info); });
}

void TCustomAsyncSocket::HandleHostLookup(int task, const QHostInfo& info) {
    if (!FDnsTask || *FDnsTask != task)
        return;
    FDnsTask.reset();
    int error = 0;
    if (info.error() == QHostInfo::NoError) {
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                FDnsResultList.push_back(address.toString().toStdString());
        }
        if (FDnsResultList.empty())
            error = WSANO_DATA;
        else
            FDnsResult = FDnsResultList.front();
    } else {
        error = info.error() == QHostInfo::HostNotFound ? WSAHOST_NOT_FOUND : WSANO_RECOVERY;
    }
    // Called from the event loop: a handler's failure must not travel through it.
    try {
        if (OnDnsLookupDone)
            OnDnsLookupDone(this, error);
    } catch (const std::exception& e) {
        qWarning("lookup done: %s", e.what());
    }
}

void TCustomAsyncSocket::CancelDnsLookup() {
    if (!FDnsTask)
        return;
    QHostInfo::abortHostLookup(*FDnsTask);
    FDnsTask.reset();
    if (!FDestroying && OnDnsLookupDone)
        OnDnsLookupDone(this, WSAEINTR);
}

void TCustomAsyncSocket::Listen() {
    auto refuse = [this](const char* functionName) {
        SetSocketLastError(WSAEINVAL);
        RaiseSocketError(this, functionName);
    };
    if (!FPortAssigned)
        refuse("listen: port not assigned");
    if (!FProtoAssigned)
        refuse("listen: protocol not assigned");
    if (!FAddrAssigned)
        refuse("listen: address not assigned");
    // A second handle would orphan the first one.
    if (FSocketHandle != INVALID_SOCKET)
        refuse("Listen");
    const TSocket handle = ::socket(FAddressFamily, FSocketType | SOCK_CLOEXEC, FProtoNumber);
    if (handle < 0) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "socket");
    }
    FSocketHandle = handle;
    // A failed step gives the handle back before the error leaves; the state stays where it got to.
    auto fail = [this](const char* functionName) {
        SetSocketLastErrorFromErrno();
        ReleaseHandle();
        RaiseSocketError(this, functionName);
    };
    if (::bind(FSocketHandle, reinterpret_cast<const sockaddr*>(&FRemoteAddr), sizeof FRemoteAddr) < 0)
        fail("Bind");
    UpdateState(wsBound);
    const bool datagram = FSocketType == SOCK_DGRAM;
    if (datagram) {
        UpdateState(wsListening);
        UpdateState(wsConnected);
        if (OnSessionConnected)
            OnSessionConnected(this, 0);
    } else {
        if (::listen(FSocketHandle, 5) < 0)
            fail("Listen");
        UpdateState(wsListening);
    }
    if (FSocketHandle == INVALID_SOCKET)
        return; // a handler above closed the socket
    const auto mode = datagram ? TSocketEventSource::TMode::Datagram : TSocketEventSource::TMode::Listening;
    if (!FEventSource->Attach(FSocketHandle, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE, mode))
        fail("WSAASyncSelect");
}

TSocket TCustomAsyncSocket::Accept() {
    if (FState != wsListening) {
        SetSocketLastError(WSAEINVAL);
        RaiseSocketError(this, "not a listening socket");
    }
    socklen_t length = sizeof FRemoteAddr;
    const TSocket handle = ::accept4(FSocketHandle, reinterpret_cast<sockaddr*>(&FRemoteAddr), &length, SOCK_CLOEXEC);
    const int acceptErrno = errno;
    FEventSource->ReadDone();
    if (handle < 0) {
        errno = acceptErrno;
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "Accept");
    }
    FAcceptedHandle = handle;
    return handle;
}

void TCustomAsyncSocket::Dup(TSocket handle) {
    if (handle < 0) {
        SetSocketLastError(WSAEINVAL);
        RaiseSocketError(this, "Dup");
    }
    if (FState != wsClosed) {
        if (FSocketHandle != INVALID_SOCKET)
            CloseHandleChecked("Dup (closesocket)");
        UpdateState(wsClosed);
    }
    // The adopted connection starts clean: nothing of an earlier one is carried over.
    ResetConnection();
    FSocketHandle = handle;
    int type = SOCK_STREAM;
    socklen_t length = sizeof type;
    if (::getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &length) == 0)
        FSocketType = type;
    const auto mode =
        FSocketType == SOCK_DGRAM ? TSocketEventSource::TMode::Datagram : TSocketEventSource::TMode::Connected;
    if (!FEventSource->Attach(handle, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, mode)) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "WSAAsyncSelect");
    }
    UpdateState(wsConnected);
}

void TCustomAsyncSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(FSocketHandle, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0)
        throw ESocketException("winsock.bind failed, error #" + std::to_string(SetSocketLastErrorFromErrno()));
    socklen_t length = sizeof local;
    if (::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        throw ESocketException("winsock.getsockname failed, error #" + std::to_string(SetSocketLastErrorFromErrno()));
    FLocalPort = ntohs(local.sin_port);
}

void TCustomAsyncSocket::Pause() {
    FPaused = true;
    FEventSource->SetMask(0);
}

void TCustomAsyncSocket::Resume() {
    FPaused = false;
    FEventSource->SetMask(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
}

std::string TCustomAsyncSocket::GetPeerAddress() {
    if (FState != wsConnected)
        return "error";
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(FSocketHandle, reinterpret_cast<sockaddr*>(&peer), &length) < 0) {
        SetSocketLastErrorFromErrno();
        RaiseSocketError(this, "GetPeerName");
    }
    return NumericText(peer, length);
}

std::string TCustomAsyncSocket::GetLocalAddress() {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (FSocketHandle == INVALID_SOCKET ||
        ::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return {};
    return NumericText(local, length);
}

int TCustomAsyncSocket::GetPeerSockAddr(sockaddr_in& address, int length) {
    if (FState != wsConnected)
        return -1;
    // The record is an IPv4 address record: a larger length must not let the platform write past it.
    socklen_t size = static_cast<socklen_t>(std::clamp<int>(length, 0, sizeof address));
    return ::getpeername(FSocketHandle, reinterpret_cast<sockaddr*>(&address), &size);
}

std::string TCustomAsyncSocket::GetLocalPort() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return "error";
    return std::to_string(ntohs(local.sin_port));
}

int TCustomAsyncSocket::GetLocalSockAddr(sockaddr_in& address, int& length) {
    socklen_t size = static_cast<socklen_t>(std::clamp<int>(length, 0, sizeof address));
    const int result = ::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&address), &size);
    length = static_cast<int>(size);
    return result;
}

bool TCustomAsyncSocket::TimevalIsSet(const timeval& t) {
    return t.tv_sec != 0 || t.tv_usec != 0;
}

void TCustomAsyncSocket::TimevalClear(timeval& t) {
    t.tv_sec = 0;
    t.tv_usec = 0;
}

bool TCustomAsyncSocket::TimevalCompare(const timeval& a, const timeval& b, bool equal) {
    return (a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec) == equal;
}
