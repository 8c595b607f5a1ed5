// Turns readiness of a non-blocking socket into connect, read, write, accept and close events, delivered in order
// through the owning thread's event queue, with the re-enabling rules the socket relies on.
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

    explicit TSocketEventSource(THandler handler);
    ~TSocketEventSource() override;

    // Makes the handle non-blocking and starts reporting the events of mask for it.
    // Returns false (errno set) when the handle cannot be made non-blocking.
    bool Attach(int handle, int mask, TMode mode);
    // Stops reporting; events already queued for the old handle are dropped on arrival.
    void Detach();
    // A new event mask; 0 stops every report (pause). A connected handle reports write-ready once more.
    void SetMask(int mask);
    // A receive or accept was made: read (or accept, or close) may be reported again.
    void ReadDone();
    // A send could not take everything: report write-ready when there is room again.
    void WriteBlocked();
    // Queues an event for the attached handle behind everything already queued.
    void Post(int handle, int events, int error);

protected:
    bool event(QEvent* event) override;

private:
    void ReadReady();
    void WriteReady();
    void EnableRead(bool on);
    void EnableWrite(bool on);

    THandler FHandler;
    std::unique_ptr<QSocketNotifier> FReadNotifier;
    std::unique_ptr<QSocketNotifier> FWriteNotifier;
    int FHandle = -1;
    int FMask = 0;
    TMode FMode = TMode::Connected;
    // Tells events of an earlier handle from those of the current one, even when the number is reused.
    unsigned long long FGeneration = 0;
    bool FCloseReported = false;
};
