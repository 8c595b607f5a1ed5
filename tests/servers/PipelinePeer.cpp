// The pipelining peer: accept, read what came, answer all of it, one connection at a time.
#include "tests/servers/PipelinePeer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

const char* const NoRecipients = "554 5.5.1 Error: no valid recipients\r\n";

int MessageNumber(const std::string& content) {
    const size_t at = content.find("Message number ");
    return at == std::string::npos ? -1 : std::atoi(content.c_str() + at + 15);
}

} // namespace

PipelinePeer::PipelinePeer(bool chunking, Pace pace, Script script)
    : FChunking(chunking), FPace(pace), FScript(std::move(script)), FPeer([this](int fd, int connection) {
          Converse(fd, connection == 0);
          ::close(fd);
      }) {}

std::vector<std::string> PipelinePeer::Reads() const {
    std::lock_guard lock(FMutex);
    return FReads;
}

std::vector<int> PipelinePeer::Delivered() const {
    std::lock_guard lock(FMutex);
    return FDelivered;
}

void PipelinePeer::Converse(int fd, bool first) {
    FInData = FMailOk = FRcptOk = false;
    FContent.clear();
    Send(fd, "220 peer ESMTP\r\n");
    std::string pending;
    for (;;) {
        char buffer[65536];
        const ssize_t n = FPeer.Readable(fd) ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
        if (n <= 0)
            return;
        if (first) {
            std::lock_guard lock(FMutex);
            FReads.emplace_back(buffer, static_cast<size_t>(n));
        }
        pending.append(buffer, static_cast<size_t>(n));
        std::string out;
        const bool open = Work(pending, out);
        Send(fd, out);
        if (!open)
            return;
    }
}

std::string PipelinePeer::Answer(const std::string& verb, const std::string& standard, bool& close) {
    if (FScript)
        if (const std::optional<Reply> reply = FScript({verb, FMessage, standard})) {
            close = reply->Close;
            return reply->Text;
        }
    return standard;
}

std::string PipelinePeer::Final() const {
    return FMailOk && FRcptOk ? "250 2.0.0 Ok: queued as Q" + std::to_string(FMessage) + "\r\n" : NoRecipients;
}

bool PipelinePeer::Work(std::string& pending, std::string& out) {
    for (;;) {
        const size_t end = pending.find("\r\n");
        if (end == std::string::npos)
            return true;
        const std::string line = pending.substr(0, end);
        bool close = false;
        if (FInData) {
            pending.erase(0, end + 2);
            if (line != ".") {
                FContent += line + "\n";
                continue;
            }
            FInData = false;
            if (!EndMessage(".", out))
                return false;
            continue;
        }
        const std::string verb = line.substr(0, 4);
        if (verb == "BDAT") {
            const size_t size = std::strtoul(line.c_str() + 5, nullptr, 10);
            if (pending.size() < end + 2 + size)
                return true; // the chunk is not all here yet
            FContent = pending.substr(end + 2, size);
            pending.erase(0, end + 2 + size);
            if (!EndMessage("BDAT", out))
                return false;
            continue;
        }
        pending.erase(0, end + 2);
        std::string standard = "250 2.1.0 Ok\r\n";
        if (verb == "EHLO")
            standard = std::string("250-peer\r\n250-PIPELINING\r\n") + (FChunking ? "250-CHUNKING\r\n" : "") +
                       "250 SIZE 10240000\r\n";
        else if (verb == "QUIT")
            standard = "221 2.0.0 Bye\r\n";
        else if (verb == "DATA")
            standard = FMailOk && FRcptOk ? "354 End data with <CR><LF>.<CR><LF>\r\n" : NoRecipients;
        else if (verb == "RSET")
            FMailOk = FRcptOk = false;
        if (verb == "MAIL") {
            ++FMessage;
            FContent.clear();
        }
        const std::string reply = Answer(verb, standard, close);
        if (verb == "MAIL")
            FMailOk = reply[0] == '2';
        if (verb == "RCPT")
            FRcptOk = FRcptOk || (FMailOk && reply[0] == '2');
        if (close) {
            out += reply;
            return false;
        }
        out += reply;
        if (verb == "DATA" && reply[0] == '3')
            FInData = true;
        if (verb == "QUIT")
            return false;
    }
}

bool PipelinePeer::EndMessage(const std::string& verb, std::string& out) {
    bool close = false;
    const std::string reply = Answer(verb, Final(), close);
    out += reply;
    if (close)
        return false;
    const bool valid = FMailOk && FRcptOk;
    FMailOk = FRcptOk = false;
    if (reply[0] == '2' && valid) {
        std::lock_guard lock(FMutex);
        FDelivered.push_back(MessageNumber(FContent));
    }
    return true;
}

void PipelinePeer::Send(int fd, const std::string& out) {
    size_t step = out.size();
    if (FPace == Pace::Pieces)
        step = 7;
    else if (FPace == Pace::Bytes)
        step = 1;
    for (size_t at = 0; at < out.size(); at += step) {
        if (at > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the pieces arrive apart
        const std::string piece = out.substr(at, step);
        if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
            return;
    }
}
