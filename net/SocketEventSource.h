// Turns readiness of a non-blocking socket into connect, read, write, accept and close events, delivered in order
// on the owning thread (straight from the readiness when nothing is queued before it, else through the event
// queue), with the re-enabling rules the socket relies on.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TSocketEventSource : public QObject {
    Q_OBJECT
public:
    enum class TMode { Connecting, Connected, Listening, Datagram };

    using THandler = std::function<void(int handle, int events, int error)>;
    // What the source asks of its socket's reading side.
    struct TReader {
        // Received bytes are held that no reader has taken yet.
        std::function<bool()> Holding;
        // A reader is on that receives at the next read event and meets the end of the stream itself.
        std::function<bool()> Receiving;
    };

    TSocketEventSource(THandler handler, TReader reader);
    ~TSocketEventSource() override;

    // Makes the handle non-blocking and starts reporting the events of mask for it.
    // Returns false (errno set) when the handle cannot be made non-blocking.
    bool Attach(int handle, int mask, TMode mode);
    // Stops reporting; events already queued for the old handle are dropped on arrival.
    void Detach();
    // A new event mask; 0 stops every report (pause). A connected handle reports write-ready once more.
    void SetMask(int mask);
    // A receive or accept was made: read (or accept, or close) may be reported again. Bytes the socket still
    // holds are reported as readable at once, as the platform reports bytes still waiting in its buffer.
    void ReadDone();
    // A receive met the end of the stream (error 0) or a failure: report the close once, as the readiness
    // check would have, since the receive has taken the condition from the platform.
    void ReadClosed(int error);
    // A send could not take everything: report write-ready when there is room again.
    void WriteBlocked();
    // The next bytes (or the end) of a connected stream will be reported without anybody receiving first: the
    // platform is watched for them and no earlier report waits to be served.
    bool ReadArmed() const;
    // Queues an event for the attached handle behind everything already queued.
    void Post(int handle, int events, int error);

protected:
    bool event(QEvent* event) override;

private:
    void ReadReady();
    void WriteReady();
    void EnableRead(bool on);
    void EnableWrite(bool on);
    // Read readiness for a stream or datagram: from the bytes the socket holds, else from the platform.
    void ArmRead();
    // Hands an event over now, or behind those still queued.
    void Deliver(int events, int error);
    void Dispatch(int handle, int events, int error);
    static void Retire(std::unique_ptr<QSocketNotifier>& notifier);

    THandler FHandler;
    TReader FReader;
    std::unique_ptr<QSocketNotifier> FReadNotifier;
    std::unique_ptr<QSocketNotifier> FWriteNotifier;
    int FHandle = -1;
    int FMask = 0;
    TMode FMode = TMode::Connected;
    // Tells events of an earlier handle from those of the current one, even when the number is reused.
    unsigned long long FGeneration = 0;
    bool FCloseReported = false;
    // A read (or accept) was reported and no receive has followed yet.
    bool FReadReported = false;
    // A read event for held bytes is queued and not delivered yet: one is enough.
    bool FReadQueued = false;
    // Events posted and not delivered yet.
    int FQueued = 0;
};
