// The threaded peer: accept, read a line, ask the script, act; one connection at a time.
#include "tests/servers/ThreadedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>

ThreadedPeer::ThreadedPeer(Script script)
    : FScript(std::move(script)), FPeer([this](int fd, int connection) { Converse(fd, connection); }) {}

std::vector<std::string> ThreadedPeer::Commands() const {
    std::lock_guard lock(FMutex);
    return FCommands;
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
        const ssize_t n = FPeer.Readable(fd) ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
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
