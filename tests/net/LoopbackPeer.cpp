// Raw loopback peers for the network tests.
#include "LoopbackPeer.h"

#include <QDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace LoopbackPeer {

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
} // namespace

TListener::TListener(int backlog, bool ipv6, int port) {
    FHandle = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    address6.sin6_port = htons(static_cast<uint16_t>(port));
    sockaddr* bound = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address);
    socklen_t length = ipv6 ? sizeof address6 : sizeof address;
    if (FHandle < 0 || ::bind(FHandle, bound, length) != 0 || ::listen(FHandle, backlog) != 0) {
        if (FHandle >= 0)
            ::close(FHandle);
        throw std::runtime_error("cannot listen on loopback");
    }
    ::getsockname(FHandle, bound, &length);
    FPort = ntohs(ipv6 ? address6.sin6_port : address.sin_port);
}

TListener::~TListener() {
    if (FHandle >= 0)
        ::close(FHandle);
}

int TListener::Accept() {
    pollfd p{FHandle, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1)
        return -1;
    return ::accept4(FHandle, nullptr, nullptr, SOCK_CLOEXEC);
}

int UnusedPort() {
    const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    ::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(handle);
    return ntohs(address.sin_port);
}

void SendAll(int handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(handle, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("peer send failed");
        done += static_cast<size_t>(n);
    }
}

void ResetAndClose(int handle) {
    const linger option{1, 0};
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(handle);
}

int OpenDescriptorCount() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace LoopbackPeer
