// Selects one engine work area for the length of a scope.
#include "table/AreaGuard.h"

#include "table/engine/XbEngine.h"

TAreaGuard::TAreaGuard(int area) {
    FPrevious = xb_WorkArea(nullptr);
    FValid = area >= 1 && area <= 255 && xb_SysProp(xbPropAreaOpen, area) != 0;
    if (FValid)
        xb_Select(area);
}

TAreaGuard::~TAreaGuard() {
    // The area selected before may have been closed meanwhile; then the selection stays.
    if (FValid && !xb_Alias(FPrevious).empty())
        xb_Select(FPrevious);
}
