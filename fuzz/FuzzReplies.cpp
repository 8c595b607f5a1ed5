// libFuzzer target for the client's reading of a server's replies: the real client and its queue talk to a peer
// on a thread of its own, which answers each command it receives with the next piece of the input. Input: a
// flags byte (1: the peer offers CHUNKING, 2: the client pipelines, 4 and 8: the peer's pace), then the pieces,
// one a line; "|" inside a piece starts a new reply line, "!" alone closes the connection unanswered, and once
// the pieces run out the peer answers as a well-behaved server. A message the client counts as sent must have
// had a 2xx reply that the peer sent after receiving its final command, in a transaction whose sender and a
// recipient the peer had accepted.
#include "net/Wait.h"
#include "smtp/SmtpClient.h"
#include "tests/servers/NumberedMessage.h"
#include "tests/servers/PipelinePeer.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int Messages = 3;

// The pieces of the input, handed out one per command from the peer's thread.
class TPieces {
public:
    explicit TPieces(std::string_view text) {
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            std::string piece(text.substr(start, end - start));
            std::replace(piece.begin(), piece.end(), '|', '\n');
            std::string reply;
            for (const char c : piece)
                reply += c == '\n' ? std::string("\r\n") : std::string(1, c);
            FPieces.push_back(reply + "\r\n");
            start = end + 1;
        }
    }
    std::optional<PipelinePeer::Reply> Next() {
        std::lock_guard lock(FMutex);
        if (FNext == FPieces.size())
            return std::nullopt;
        const std::string& piece = FPieces[FNext++];
        if (piece == "!\r\n")
            return PipelinePeer::Reply{"", true};
        return PipelinePeer::Reply{piece};
    }

private:
    std::mutex FMutex;
    std::vector<std::string> FPieces;
    std::size_t FNext = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_replies";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    TPieces pieces(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    const auto pace = static_cast<PipelinePeer::Pace>(std::min((flags >> 2) & 3, 2));
    PipelinePeer peer((flags & 1) != 0, pace, [&pieces](const PipelinePeer::Command&) { return pieces.Next(); });

    TCustomWait wait;
    wait.SetInterval(10);
    TSmtpClient client;
    client.SetWait(&wait);
    client.SetHost("127.0.0.1");
    client.SetPort(peer.PortText().toStdString());
    client.SetTimeOut(10); // 100 ms for a reply that is not coming
    client.SetSignOn("fuzz.localhost");
    client.SetExtended(true);
    client.SetPipelining((flags & 2) != 0);
    std::vector<int> sent;
    int next = 1;
    client.MailQueue(
        [&next](TMailMessage& message, int& id) {
            if (next > Messages)
                return false;
            id = next;
            message = NumberedMessage(next++);
            return true;
        },
        [&sent](int id, bool accepted) {
            if (accepted)
                sent.push_back(id);
        });
    client.Abort();
    const std::vector<int> delivered = peer.Delivered();
    if (std::getenv("FUZZ_REPLIES_SHOW")) // replaying one input: what came of it
        std::fprintf(stderr, "sent %zu, delivered %zu\n", sent.size(), delivered.size());
    for (const int id : sent)
        if (std::find(delivered.begin(), delivered.end(), id) == delivered.end()) {
            std::fprintf(stderr, "message %d counted as sent without the peer's 2xx to its end\n", id);
            std::abort();
        }
    return 0;
}
