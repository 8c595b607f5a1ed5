// A TCP proxy on loopback that holds every byte for a fixed time in each direction, so a benchmark can see what
// a link with a round-trip time of twice that does to an SMTP dialogue (this kernel has no netem).
// Usage: delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS; LISTEN_PORT 0 takes a free port. Prints
// "port N" once it listens and runs until it is killed.
// Each direction keeps a queue of what it read, stamped with the time it may go on; one ppoll waits for the
// sockets and for the earliest stamp, so no byte waits longer than the delay plus the scheduler's latency.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// Bytes read ahead of the peer per direction before the proxy stops reading; TCP's own windows do the rest.
constexpr size_t QueueLimit = 4 << 20;

class TDescriptor {
public:
    explicit TDescriptor(int fd = -1) : FFd(fd) {}
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    ~TDescriptor() {
        if (FFd >= 0)
            close(FFd);
    }
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Tune(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One direction of a connection: what was read from one socket and is due on the other.
struct TDirection {
    struct TChunk {
        TClock::time_point Due;
        std::string Bytes; // empty: the sender closed its side, pass the close on when due
    };
    std::deque<TChunk> FQueue;
    size_t FQueued = 0;
    size_t FSentOfFront = 0;
    bool FReadClosed = false;  // no more reads from the source
    bool FWriteClosed = false; // the close went on to the destination

    bool Due(TClock::time_point now) const { return !FQueue.empty() && FQueue.front().Due <= now; }
    bool Readable() const { return !FReadClosed && FQueued < QueueLimit; }
};

class TConnection {
public:
    TConnection(int client, int server) : FClient(client), FServer(server) {}

    // Reads what arrived and writes what is due; false once the connection is over.
    bool Serve(short clientEvents, short serverEvents, std::chrono::milliseconds delay) {
        const TClock::time_point now = TClock::now();
        if ((clientEvents | serverEvents) & POLLERR)
            return false;
        if (!Pump(FClient.Get(), FServer.Get(), FUp, clientEvents, now, delay))
            return false;
        if (!Pump(FServer.Get(), FClient.Get(), FDown, serverEvents, now, delay))
            return false;
        return !(FUp.FWriteClosed && FDown.FWriteClosed);
    }

    // What to wait for on the socket that feeds OUT and drains IN; a socket with nothing to wait for is left
    // out of the poll (fd -1), or a hung-up peer would wake it without end.
    static pollfd Poll(const TDescriptor& socket, const TDirection& out, const TDirection& in,
                       TClock::time_point now) {
        short events = 0;
        if (out.Readable())
            events |= POLLIN;
        if (in.Due(now))
            events |= POLLOUT; // due but not yet written: its socket was full
        return pollfd{events ? socket.Get() : -1, events, 0};
    }

    TDescriptor FClient;
    TDescriptor FServer;
    TDirection FUp;   // client to server
    TDirection FDown; // server to client

private:
    static bool Pump(int from, int to, TDirection& direction, short fromEvents, TClock::time_point now,
                     std::chrono::milliseconds delay) {
        if ((fromEvents & (POLLIN | POLLHUP | POLLERR)) && direction.Readable()) {
            char buffer[65536];
            const ssize_t got = recv(from, buffer, sizeof buffer, 0);
            if (got > 0) {
                direction.FQueue.push_back({now + delay, std::string(buffer, static_cast<size_t>(got))});
                direction.FQueued += static_cast<size_t>(got);
            } else if (got == 0) {
                direction.FQueue.push_back({now + delay, std::string()});
                direction.FReadClosed = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                return false; // a reset: the other side learns of it by the close
            }
        }
        while (direction.Due(now)) {
            TDirection::TChunk& chunk = direction.FQueue.front();
            if (chunk.Bytes.empty()) {
                shutdown(to, SHUT_WR);
                direction.FWriteClosed = true;
                direction.FQueue.pop_front();
                continue;
            }
            const ssize_t sent = send(to, chunk.Bytes.data() + direction.FSentOfFront,
                                      chunk.Bytes.size() - direction.FSentOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    break;
                return false;
            }
            direction.FSentOfFront += static_cast<size_t>(sent);
            if (direction.FSentOfFront < chunk.Bytes.size())
                break;
            direction.FQueued -= chunk.Bytes.size();
            direction.FSentOfFront = 0;
            direction.FQueue.pop_front();
        }
        return true;
    }
};

int Listen(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 128) < 0)
        Fail("listen on 127.0.0.1:" + std::to_string(port));
    return fd;
}

int Connect(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        throw std::runtime_error("cannot resolve " + host);
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    // Loopback only: the connect completes at once, so it may block.
    if (connect(fd, found->ai_addr, found->ai_addrlen) < 0) {
        close(fd);
        return -1;
    }
    Tune(fd);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: delay_proxy LISTEN_PORT TARGET_HOST TARGET_PORT DELAY_MS\n");
        return 2;
    }
    try {
        const std::chrono::milliseconds delay(std::stoi(argv[4]));
        TDescriptor listener(Listen(std::stoi(argv[1])));
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
        std::printf("port %d\n", ntohs(bound.sin_port));
        std::fflush(stdout);

        std::list<TConnection> connections;
        std::vector<pollfd> polled;
        for (;;) {
            const TClock::time_point now = TClock::now();
            TClock::time_point wake = TClock::time_point::max();
            polled.assign(1, pollfd{listener.Get(), POLLIN, 0});
            for (TConnection& connection : connections) {
                polled.push_back(TConnection::Poll(connection.FClient, connection.FUp, connection.FDown, now));
                polled.push_back(TConnection::Poll(connection.FServer, connection.FDown, connection.FUp, now));
                // A chunk already due waits for POLLOUT, not for the clock.
                for (const TDirection* direction : {&connection.FUp, &connection.FDown})
                    if (!direction->FQueue.empty() && direction->FQueue.front().Due > now &&
                        direction->FQueue.front().Due < wake)
                        wake = direction->FQueue.front().Due;
            }
            timespec timeout{};
            timespec* limit = nullptr;
            if (wake != TClock::time_point::max()) {
                const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
                const long long nanoseconds = std::max<long long>(0, wait.count());
                timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
                timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
                limit = &timeout;
            }
            if (ppoll(polled.data(), polled.size(), limit, nullptr) < 0) {
                if (errno == EINTR)
                    continue;
                Fail("ppoll");
            }
            size_t index = 1;
            for (auto it = connections.begin(); it != connections.end(); index += 2) {
                if (it->Serve(polled[index].revents, polled[index + 1].revents, delay))
                    ++it;
                else
                    it = connections.erase(it);
            }
            if (polled[0].revents & POLLIN) {
                TDescriptor client(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                TDescriptor server(client.Get() < 0 ? -1 : Connect(argv[2], argv[3]));
                // A server that is down: the client sees its connection closed.
                if (server.Get() < 0)
                    continue;
                Tune(client.Get());
                connections.emplace_back(client.Release(), server.Release());
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "delay_proxy: %s\n", error.what());
        return 1;
    }
}
