// One wait of the socket layer on its wait control: shown for the wait, let go of afterwards.
#pragma once

#include "net/Wait.h"

#include <QPointer>

// Shows the wait control for one wait and lets it hide afterwards, also when the wait ends by an exception
// or the control is destroyed during it.
class TShownWait {
public:
    TShownWait(TCustomWait* wait, int timeout);
    ~TShownWait();
    TShownWait(const TShownWait&) = delete;
    TShownWait& operator=(const TShownWait&) = delete;

    TCustomWait* operator->() const { return FWait.data(); }
    explicit operator bool() const { return static_cast<bool>(FWait); }

private:
    TWaitPointer FWait;
};
