// The threaded peer: accept, read a line, ask the script, act; one connection at a time.
#include "tests/servers/ThreadedPeer.h"
#include "tests/servers/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>

namespace {

// Waits until fd is readable, looking every 20 ms whether the peer is being stopped; false when it is.
bool Readable(int fd, const std::atomic<bool>& stopping) {
    pollfd entry{fd, POLLIN, 0};
    while (!stopping)
        if (::poll(&entry, 1, 20) > 0)
            return true;
    return false;
}

} // namespace

ThreadedPeer::ThreadedPeer(Script script) : FScript(std::move(script)) {
    FListen = ListenOnLoopback(FPort);
    if (FListen < 0)
        return; // Port() stays 0 and the test fails on it
    FThread = std::thread([this] { Serve(); });
}

ThreadedPeer::~ThreadedPeer() {
    FStopping = true;
    if (FThread.joinable())
        FThread.join();
    if (FListen >= 0)
        ::close(FListen);
}

std::vector<std::string> ThreadedPeer::Commands() const {
    std::lock_guard lock(FMutex);
    return FCommands;
}

void ThreadedPeer::Serve() {
    while (Readable(FListen, FStopping)) {
        const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        // Each segment goes out when it is written, not held back for the acknowledgement of the one before.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Converse(fd, FConnections++);
    }
}

void ThreadedPeer::Converse(int fd, int connection) {
    Command command{connection, 0, {}, {}};
    std::string pending;
    std::string line;
    bool open = Perform(fd, FScript(command));
    while (open && ReadLine(fd, pending, line)) {
        {
            std::lock_guard lock(FMutex);
            FCommands.push_back(line);
        }
        command.Verb = line.substr(0, line.find_first_of(" :"));
        for (char& ch : command.Verb)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        command.Data.clear();
        const Reply reply = FScript(command);
        open = Perform(fd, reply);
        if (!open || command.Verb != "DATA" || reply.Segments.empty() || reply.Segments.front().Bytes[0] != '3')
            continue;
        while ((open = ReadLine(fd, pending, line)) && line != ".")
            command.Data += line + "\n";
        command.Verb = line; // the dot
        open = open && Perform(fd, FScript(command));
        ++command.Messages;
    }
    ::close(fd);
}

bool ThreadedPeer::ReadLine(int fd, std::string& pending, std::string& line) {
    size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        char buffer[4096];
        const ssize_t n = Readable(fd, FStopping) ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
    line = pending.substr(0, end - (end > 0 && pending[end - 1] == '\r'));
    pending.erase(0, end + 1);
    return true;
}

bool ThreadedPeer::Perform(int fd, const Reply& reply) {
    for (const Reply::Segment& segment : reply.Segments) {
        std::this_thread::sleep_for(std::chrono::milliseconds(segment.DelayMs)); // the scripted slowness
        const ssize_t size = ssize_t(segment.Bytes.size());
        if (size > 0 && ::send(fd, segment.Bytes.data(), segment.Bytes.size(), MSG_NOSIGNAL) != size)
            return false;
    }
    if (reply.After == Reply::End::Reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else if (reply.After == Reply::End::Close) {
        ::shutdown(fd, SHUT_WR);
    }
    return reply.After == Reply::End::Keep;
}
