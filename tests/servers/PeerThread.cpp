#include "tests/servers/PeerThread.h"
#include "tests/servers/LoopbackListener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

PeerThread::PeerThread(Handler handler) : FHandler(std::move(handler)) {
    FListen = ListenOnLoopback(FPort);
    if (FListen >= 0)
        FThread = std::thread([this] { Serve(); });
}

PeerThread::~PeerThread() {
    FStopping = true;
    if (FThread.joinable())
        FThread.join();
    if (FListen >= 0)
        ::close(FListen);
}

bool PeerThread::Readable(int fd) const {
    pollfd entry{fd, POLLIN, 0};
    while (!FStopping)
        if (::poll(&entry, 1, 20) > 0)
            return true;
    return false;
}

void PeerThread::Serve() {
    while (Readable(FListen)) {
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Each segment goes out when it is written, not held back for the acknowledgement of the one before.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        FHandler(fd, FConnections++);
    }
}
