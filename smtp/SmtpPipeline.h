// The transactions of one connection as a queue of commands: a send cursor that says what goes out next and a
// receive cursor that says which command the next reply answers, with the message and recipient it belongs to.
// Whether one command waits for the reply to the one before is a matter of the mode, never of another code path:
// in lockstep nothing goes before the last reply came, which is the plain dialogue of RFC 5321.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class TSmtpPipeline {
public:
    // Lockstep: one command, one reply. Pipelining (RFC 2920): MAIL, RCPT and DATA in one write, a message's
    // final "." with the next message's envelope. Chunking (RFC 3030): MAIL, RCPT and "BDAT n LAST" with the
    // content, several messages in flight.
    enum class TMode : std::uint8_t { Lockstep, Pipelining, Chunking };
    // What a command is.
    enum class TStep : std::uint8_t { Reset, Mail, Rcpt, Data, Content, Bdat };
    // Where a message stands: its envelope goes or is answered, the server said go ahead to DATA (354), its
    // content is out and the final reply awaited, or its result is known.
    enum class TPhase : std::uint8_t { Envelope, GoAhead, Final, Done };

    struct TCommand {
        TStep Step = TStep::Mail;
        // The message's number (as Add gave it) and, for RCPT, the recipient's index.
        int Message = 0;
        int Recipient = 0;
        // The line (without CR LF); for BDAT the command line, the content is the message's.
        std::string Line;
        // Left the client: handed to a connection that was still open when the bytes were written.
        bool Written = false;
    };

    struct TMessage {
        int Number = 0;
        // The caller's name for it, and its Message-ID.
        int Id = 0;
        std::string MessageId;
        int Recipients = 0;
        TPhase Phase = TPhase::Envelope;
        // The result was told; later replies to its commands are read and dropped.
        bool Told = false;
        // Its DATA went, and its reply came: until then a told message's "." may still be needed.
        bool DataSent = false;
        bool DataAnswered = false;
        // The message's final command ("." or BDAT) left the client: without a reply it may have arrived.
        bool ContentWritten = false;
        // For BDAT: the composed message as it goes (no dot-stuffing).
        std::string Content;
    };

    // Messages at most in flight per mode: two while pipelining (one awaiting its final reply, one its envelope's
    // replies), a window while chunking.
    static constexpr int ChunkingWindow = 8;

    explicit TSmtpPipeline(TMode mode = TMode::Lockstep) : FMode(mode) {}
    TMode Mode() const { return FMode; }
    void SetMode(TMode mode) { FMode = mode; }
    int Window() const;

    // A message's commands join the queue: RSET first when asked, MAIL, one RCPT per recipient, then DATA (and
    // its content) or BDAT. Returns the message's number.
    int Add(const std::string& mail, const std::deque<std::string>& recipients, bool reset, std::string content);
    // A message may join: the window has room besides held messages whose replies are in but not yet trusted, and
    // with DATA no message still waits to put its content (the composer holds one message between MAIL and ".").
    bool CanAdd(size_t held = 0) const;
    bool Empty() const { return FMessages.empty(); }
    // True when a command waits to go and may go now. Unsent commands of a message whose result is known are
    // dropped on the way, but for the content of one the server said go ahead to: "." must end that DATA.
    bool Sendable();
    // The command at the send cursor, moved past; Sendable must have been true.
    TCommand& NextToSend();
    // Nothing of the queued messages went out yet: they can go on another connection as they are.
    bool Untouched() const { return FSend == 0; }
    // True while a command that went out awaits its reply.
    bool Awaiting() const { return FReceive < FSend; }
    // The command the next reply answers.
    TCommand& Awaited() { return FCommands[FReceive]; }
    // The reply to Awaited came: the receive cursor moves on, and commands wholly answered leave the queue.
    void Answered();
    // Every command handed out so far left the client.
    void MarkWritten();
    TMessage* Find(int number);
    // The oldest message whose result is not told yet; null when none.
    TMessage* FirstUntold();
    // Every message whose result is not told yet, oldest first.
    std::vector<TMessage*> Untold();
    // A message whose result was told and whose replies are all in leaves the queue.
    void Retire();
    // Every command goes again from the start (a new connection); replies still awaited are forgotten.
    void Rewind();
    void Clear();

private:
    TMode FMode;
    std::deque<TCommand> FCommands;
    std::deque<TMessage> FMessages;
    // Indices into FCommands: the next to send, the next to be answered.
    size_t FSend = 0;
    size_t FReceive = 0;
    int FNextNumber = 1;
};
