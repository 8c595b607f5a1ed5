// An SMTP peer on a thread of its own that offers PIPELINING (and CHUNKING when asked) and takes commands as a
// real server does: whatever arrived is worked through, and the replies to it go back together, whole, in
// pieces or one byte at a time. It records each read as it came, so a test sees which commands shared a write.
// As a real server, it takes no content for a transaction without an accepted sender and recipient (554).
#pragma once

#include "tests/servers/PeerThread.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class PipelinePeer {
public:
    enum class Pace { Whole, Pieces, Bytes };
    // A command as the peer saw it: the verb ("MAIL", "RCPT", "DATA", "." for the end of DATA content, "BDAT"),
    // and the number of the transaction it belongs to, counted from 1 over all connections.
    struct Command {
        std::string Verb;
        int Message = 0;
        // The peer's own reply to it, for a script that adds to it.
        std::string Standard;
    };
    // A reply of the script (CR LF included), or Close: the connection ends there, unanswered.
    struct Reply {
        std::string Text;
        bool Close = false;
    };
    // nullopt: the peer's own well-behaved reply.
    using Script = std::function<std::optional<Reply>(const Command&)>;

    explicit PipelinePeer(bool chunking, Pace pace = Pace::Whole, Script script = {});

    int Port() const { return FPeer.Port(); }
    QString PortText() const { return FPeer.PortText(); }
    // Every read of the first connection as it arrived.
    std::vector<std::string> Reads() const;
    // The messages the peer accepted (250 to their "." or BDAT), by the number in their "Message number N" line.
    std::vector<int> Delivered() const;
    int Connections() const { return FPeer.Connections(); }

private:
    // Serves one connection; the first one's reads are recorded.
    void Converse(int fd, bool first);
    // Works through every whole command in pending; false when the connection is to end.
    bool Work(std::string& pending, std::string& out);
    void Send(int fd, const std::string& out);
    // The reply to a message's end (its "." or BDAT), noting it delivered; false when the connection is to end.
    bool EndMessage(const std::string& verb, std::string& out);
    std::string Answer(const std::string& verb, const std::string& standard, bool& close);
    // The reply to a message's end: queued, or refused for want of a sender and recipient.
    std::string Final() const;

    bool FChunking;
    Pace FPace;
    Script FScript;
    mutable std::mutex FMutex;
    std::vector<std::string> FReads;
    std::vector<int> FDelivered;
    // Per connection: the transaction has its sender and a recipient, inside DATA content, its lines so far.
    bool FMailOk = false;
    bool FRcptOk = false;
    bool FInData = false;
    std::string FContent;
    int FMessage = 0;
    PeerThread FPeer; // last: it stops before the members it uses go
};
