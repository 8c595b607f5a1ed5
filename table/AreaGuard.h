// Selects one engine work area for the length of a scope and selects the previous one again afterwards.
#pragma once

class TAreaGuard {
public:
    // An area outside 1..255, or one that is not open, makes the guard invalid (code 9990).
    explicit TAreaGuard(int area);
    ~TAreaGuard();
    TAreaGuard(const TAreaGuard&) = delete;
    TAreaGuard& operator=(const TAreaGuard&) = delete;

    bool Valid() const { return FValid; }

private:
    int FPrevious = 0;
    bool FValid = false;
};
