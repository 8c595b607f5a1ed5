// One wait of the socket layer on its wait control.
#include "net/ShownWait.h"

#include <string>

TShownWait::TShownWait(TCustomWait* wait, int timeout) : FWait(wait) {
    FWait->Caption = std::to_string(timeout);
    FWait->ShowForWait();
}

TShownWait::~TShownWait() {
    if (FWait)
        FWait->HideAfterWait();
}
