// The countdown wait that turns an awaited event into a blocking call with a timeout. It has no widget: the
// socket layer waits through it, and a window shows it through the wait control of framework/widgets.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QTimer;

class TCustomWait {
public:
    static constexpr int mrNone = 0;
    static constexpr int mrStopped = 1;
    static constexpr int mrTimeout = 2;

    TCustomWait();
    virtual ~TCustomWait();
    TCustomWait(const TCustomWait&) = delete;
    TCustomWait& operator=(const TCustomWait&) = delete;

    // Begins a countdown from the count in Caption (15 when it holds no positive number).
    virtual void Start();
    // Ends the wait successfully; harmless while idle.
    virtual void Stop();
    // Blocks in the event loop until Stop or the timeout.
    virtual void Run();
    // Caption := StartCount.
    virtual void Reset();

    bool Running() const;
    int Interval() const;
    void SetInterval(int milliseconds);
    // Passes of Run through the event loop so far: a caller can tell whether pending events ran since it looked.
    unsigned long Passes() const { return FPasses; }

    // A shown wait appears for each wait of the socket layer and goes again afterwards; here nothing is shown.
    virtual void ShowForWait() {}
    virtual void HideAfterWait() {}

    // The count as decimal text; a plain field, writing it does not repaint.
    std::string Caption = "60";
    // 0 while a Run is in progress, 1 after Stop, 2 after a timeout.
    int ModalResult = mrNone;
    // The count at the last Start; never 0.
    int StartCount = 60;

    std::function<void(TCustomWait* sender, int count)> OnWait;
    std::function<void(TCustomWait* sender)> OnWaiting;
    std::function<void(TCustomWait* sender)> OnWaitStart;
    std::function<void(TCustomWait* sender)> OnWaitStop;
    std::function<void(TCustomWait* sender)> OnTimeout;

    // Lets a holder learn that the wait is gone (see TWaitPointer).
    std::weak_ptr<TCustomWait* const> Handle() const { return FSelf; }

protected:
    // One tick of the countdown.
    void TimerTick();
    // The count read from Caption: leading blanks skipped, then decimal digits; 0 when there are none.
    int Count() const;
    // The outermost Run begins and ends (also by an exception): a shown wait filters input meanwhile.
    virtual void RunBegins() {}
    virtual void RunEnds() {}
    // The count changed: a shown wait repaints.
    virtual void CountChanged() {}

private:
    std::unique_ptr<QTimer> FTimer;
    int FRunDepth = 0;
    unsigned long FPasses = 0;
    std::shared_ptr<TCustomWait* const> FSelf;
};

// A wait that is not owned: null once the wait is destroyed.
class TWaitPointer {
public:
    TWaitPointer() = default;
    TWaitPointer(TCustomWait* wait) : FHandle(wait ? wait->Handle() : std::weak_ptr<TCustomWait* const>()) {}
    TCustomWait* data() const {
        const auto handle = FHandle.lock();
        return handle ? *handle : nullptr;
    }
    TCustomWait* operator->() const { return data(); }
    explicit operator bool() const { return data() != nullptr; }

private:
    std::weak_ptr<TCustomWait* const> FHandle;
};
