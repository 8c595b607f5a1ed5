// The countdown wait: a timer counting Caption down and a nested event loop.
#include "net/Wait.h"

#include "net/LeadingNumber.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

// Tells the wait when its outermost Run ends, also when an exception leaves it.
template <typename End> class TRunGuard {
public:
    TRunGuard(int& depth, End end) : FDepth(depth), FEnd(end) {}
    ~TRunGuard() {
        if (--FDepth == 0)
            FEnd();
    }
    TRunGuard(const TRunGuard&) = delete;
    TRunGuard& operator=(const TRunGuard&) = delete;

private:
    int& FDepth;
    End FEnd;
};

} // namespace

TCustomWait::TCustomWait() : FTimer(std::make_unique<QTimer>()), FSelf(std::make_shared<TCustomWait* const>(this)) {
    FTimer->setInterval(1000);
    FTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(FTimer.get(), &QTimer::timeout, FTimer.get(), [this] { TimerTick(); });
}

TCustomWait::~TCustomWait() = default;

int TCustomWait::Count() const {
    return Net::LeadingNumber(Caption);
}

void TCustomWait::Start() {
    StartCount = Count();
    if (StartCount == 0) {
        StartCount = 15;
        Caption = "15";
    }
    FTimer->start();
    if (OnWaitStart)
        OnWaitStart(this);
}

void TCustomWait::Stop() {
    ModalResult = mrStopped;
    FTimer->stop();
    Caption = std::to_string(StartCount);
    if (OnWaitStop)
        OnWaitStop(this);
}

void TCustomWait::TimerTick() {
    const int n = Count() - 1;
    if (OnWait)
        OnWait(this, n);
    // Stopped by the tick's own handler: the stop has settled the caption and the result already.
    if (!Running()) {
        CountChanged();
        return;
    }
    if (n > 0) {
        Caption = std::to_string(n);
    } else {
        FTimer->stop();
        ModalResult = mrTimeout;
        Caption = std::to_string(StartCount);
        if (OnTimeout)
            OnTimeout(this);
    }
    CountChanged();
}

void TCustomWait::Run() {
    if (FRunDepth++ == 0)
        RunBegins();
    TRunGuard guard(FRunDepth, [this] { RunEnds(); });
    ModalResult = mrNone;
    Start();
    // Blocks until something happens: a tick, a socket event, input; never spins.
    while (Running()) {
        if (OnWaiting)
            OnWaiting(this);
        if (!Running())
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++FPasses;
    }
}

void TCustomWait::Reset() {
    Caption = std::to_string(StartCount);
}

bool TCustomWait::Running() const {
    return FTimer->isActive();
}

int TCustomWait::Interval() const {
    return FTimer->interval();
}

void TCustomWait::SetInterval(int milliseconds) {
    FTimer->setInterval(milliseconds & 0xffff);
}
