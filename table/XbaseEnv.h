// The engine-wide settings: one instance per program; each assignment goes to the engine at once.
#pragma once

#include <QObject>
#include <string>

enum TXbaseDateFormat { dfAmerican, dfAnsi, dfBritish, dfFrench, dfGerman, dfItalian, dfSpanish, dfWinDefault };

class TXbaseEnv : public QObject {
public:
    // A second instance is refused with "Removing extra TXbaseEnv component"; the first stays in force.
    explicit TXbaseEnv(QObject* owner = nullptr);
    ~TXbaseEnv() override;

    bool Exact() const { return FExact; }
    void SetExact(bool value);
    bool Century() const { return FCentury; }
    void SetCentury(bool value);
    int Epoch() const { return FEpoch; }
    void SetEpoch(int value);
    TXbaseDateFormat DateFormat() const { return FDateFormat; }
    void SetDateFormat(TXbaseDateFormat value);
    int LockTimeout() const { return FLockTimeout; }
    void SetLockTimeout(int value);
    int MemoBlockSize() const { return FMemoBlockSize; }
    void SetMemoBlockSize(int value);
    bool SoftSeek() const { return FSoftSeek; }
    void SetSoftSeek(bool value);
    bool Deleted() const { return FDeleted; }
    void SetDeleted(bool value);

    // The program-wide short date format ("m/d/yy" style) and separator that date fields are shown with.
    static std::string ShortDateFormat();
    static char DateSeparator();
    // Sets both for the whole program (a tool that writes dates for other programs: "yyyy/mm/dd" and '-').
    static void SetShortDateFormat(const std::string& format, char separator);

private:
    bool FExact = false;
    bool FCentury = false;
    int FEpoch = 1900;
    TXbaseDateFormat FDateFormat = dfWinDefault;
    int FLockTimeout = 1;
    int FMemoBlockSize = 64;
    bool FSoftSeek = false;
    bool FDeleted = false;
};
