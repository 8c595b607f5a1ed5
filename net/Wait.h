// The countdown control that turns an awaited event into a blocking call with a timeout.
#pragma once

#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QTimer;
class TWaitInputFilter;

class TCustomWait : public QWidget {
    Q_OBJECT
public:
    static constexpr int mrNone = 0;
    static constexpr int mrStopped = 1;
    static constexpr int mrTimeout = 2;

    explicit TCustomWait(QWidget* parent = nullptr);
    ~TCustomWait() override;

    // Begins a countdown from the count in Caption (15 when it holds no positive number).
    virtual void Start();
    // Ends the wait successfully; harmless while idle.
    virtual void Stop();
    // Blocks in the event loop until Stop or the timeout; key and mouse-button input is dropped meanwhile.
    virtual void Run();
    // Caption := StartCount.
    virtual void Reset();
    // Input that passes while a wait runs: clicks and key presses on widget, and presses of key anywhere
    // (0: none). For the one control that interrupts what is being waited for.
    void PassInput(QWidget* widget, int key = 0);

    bool Running() const;
    int Interval() const;
    // Passes of Run through the event loop so far: a caller can tell whether pending events ran since it looked.
    unsigned long Passes() const { return FPasses; }

    // Shown for each wait of the socket layer and hidden again once no further wait has begun for LingerMs:
    // a dialogue's back-to-back waits would otherwise repaint the window twice each, for a flicker nobody can see.
    static constexpr int LingerMs = 200;
    void ShowForWait();
    void HideAfterWait();
    void SetInterval(int milliseconds);

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

protected:
    void paintEvent(QPaintEvent* event) override;
    // One tick of the countdown.
    void TimerTick();
    // The count read from Caption: leading blanks skipped, then decimal digits; 0 when there are none.
    int Count() const;

private:
    void HideWhenIdle();

    QTimer* FTimer;     // owned by this widget as its Qt child
    QTimer* FHideTimer; // the same
    std::unique_ptr<TWaitInputFilter> FFilter;
    int FRunDepth = 0;
    unsigned long FPasses = 0;
    // Waits shown and not ended yet, and when the last one ended.
    int FShownWaits = 0;
    std::chrono::steady_clock::time_point FLastWaitEnd;
};

// The control as programs use it.
class TWait : public TCustomWait {
    Q_OBJECT
public:
    using TCustomWait::TCustomWait;
};
