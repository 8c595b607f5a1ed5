// An SMTP peer on a thread of its own, with blocking sockets: its replies can come slowly, in pieces, late or
// never, and its closes and resets reach the client's kernel while the client's event loop is busy elsewhere,
// as those of a real server on another machine do.
#pragma once

#include "tests/servers/PeerThread.h"

#include <QString>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class ThreadedPeer {
public:
    // What the peer does with a command: each segment goes out after its delay, then the connection is kept,
    // closed (FIN) or reset (RST). No segments and Keep is silence: the peer reads on and never answers.
    struct Reply {
        enum class End { Keep, Close, Reset };
        struct Segment {
            int DelayMs = 0;
            std::string Bytes;
        };
        std::vector<Segment> Segments;
        End After = End::Keep;

        static Reply Say(std::string bytes, int delayMs = 0) { return {{{delayMs, std::move(bytes)}}, End::Keep}; }
        Reply& Then(End end) {
            After = end;
            return *this;
        }
    };
    // A command as the peer saw it. The greeting is asked for with the verb ""; the end of message data with the
    // verb "." and the message's lines in Data.
    struct Command {
        int Connection = 0;
        // Messages this connection has ended with "." before this command.
        int Messages = 0;
        std::string Verb;
        std::string Data;
    };
    using Script = std::function<Reply(const Command&)>;

    // Listens on a free loopback port and serves connections one after another, each command by the script
    // (which runs on the peer's thread).
    explicit ThreadedPeer(Script script);

    int Port() const { return FPeer.Port(); }
    QString PortText() const { return FPeer.PortText(); }
    int Connections() const { return FPeer.Connections(); }
    // Every command line received, in order, over all connections.
    std::vector<std::string> Commands() const;

private:
    void Converse(int fd, int connection);
    // Each false when the connection ended (or the peer is stopping).
    bool ReadLine(int fd, std::string& pending, std::string& line);
    bool Perform(int fd, const Reply& reply);

    Script FScript;
    mutable std::mutex FMutex;
    std::vector<std::string> FCommands;
    PeerThread FPeer; // last: it stops before the members it uses go
};
