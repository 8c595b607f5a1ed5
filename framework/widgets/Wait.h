// The wait control of a window: the countdown wait shown as a shrinking bar while it runs, dropping the user's
// key and mouse-button presses meanwhile.
#pragma once

#include "net/Wait.h"

#include <QWidget>

#include <chrono>
#include <memory>

class TWaitInputFilter;

class TWait : public QWidget, public TCustomWait {
    Q_OBJECT
public:
    explicit TWait(QWidget* parent = nullptr);
    ~TWait() override;

    // Input that passes while a wait runs: clicks and key presses on widget, and presses of key anywhere
    // (0: none). For the one control that interrupts what is being waited for.
    void PassInput(QWidget* widget, int key = 0);

    // Shown for each wait of the socket layer and hidden again once no further wait has begun for LingerMs:
    // a dialogue's back-to-back waits would otherwise repaint the window twice each, for a flicker nobody can see.
    static constexpr int LingerMs = 200;
    void ShowForWait() override;
    void HideAfterWait() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void RunBegins() override;
    void RunEnds() override;
    void CountChanged() override;

private:
    void HideWhenIdle();

    QTimer* FHideTimer; // owned by this widget as its Qt child
    std::unique_ptr<TWaitInputFilter> FFilter;
    // Waits shown and not ended yet, and when the last one ended.
    int FShownWaits = 0;
    std::chrono::steady_clock::time_point FLastWaitEnd;
};
