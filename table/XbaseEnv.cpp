// The engine-wide settings component and the program-wide date format it drives.
#include "table/XbaseEnv.h"

#include "table/DatabaseError.h"
#include "table/engine/XbEngine.h"

#include <QLocale>

namespace {

TXbaseEnv* Instance = nullptr;

struct TDateSettings {
    std::string Format;
    char Separator = '/';
};

// The system's short date format in our letters (d, m, y), or "m/d/yy" when it uses anything else.
TDateSettings SystemDateSettings() {
    const std::string qt = QLocale::system().dateFormat(QLocale::ShortFormat).toStdString();
    TDateSettings settings{"", '/'};
    bool separatorSeen = false;
    for (char c : qt) {
        if (c == 'd' || c == 'y') {
            settings.Format.push_back(c);
        } else if (c == 'M') {
            settings.Format.push_back('m');
        } else if (c == '/' || c == '.' || c == '-') {
            if (!separatorSeen)
                settings.Separator = c;
            separatorSeen = true;
            settings.Format.push_back('/');
        } else {
            return {"m/d/yy", '/'};
        }
    }
    if (settings.Format.find("mmm") != std::string::npos || settings.Format.empty())
        return {"m/d/yy", '/'};
    return settings;
}

TDateSettings& DateSettings() {
    static TDateSettings settings = SystemDateSettings();
    return settings;
}

void ApplyCentury(bool on) {
    std::string& format = DateSettings().Format;
    const std::size_t at = format.find("yyyy");
    if (on && at == std::string::npos) {
        const std::size_t yy = format.find("yy");
        if (yy != std::string::npos)
            format.replace(yy, 2, "yyyy");
    } else if (!on && at != std::string::npos) {
        format.replace(at, 4, "yy");
    }
}

} // namespace

TXbaseEnv::TXbaseEnv(QObject* owner) : QObject(owner) {
    if (Instance)
        throw EDatabaseError("Removing extra TXbaseEnv component");
    Instance = this;
}

TXbaseEnv::~TXbaseEnv() {
    if (Instance == this)
        Instance = nullptr;
}

void TXbaseEnv::SetExact(bool value) {
    FExact = value;
    xb_SetExact(value ? 1 : 0);
}

void TXbaseEnv::SetCentury(bool value) {
    FCentury = value;
    xb_SetCentury(value ? 1 : 0);
    ApplyCentury(value);
}

void TXbaseEnv::SetEpoch(int value) {
    if (value == 0)
        value = 1900;
    else if (value < 100)
        value = 100;
    else if (value >= 3000)
        value = 2999;
    FEpoch = value;
    xb_SetEpoch(value);
}

void TXbaseEnv::SetDateFormat(TXbaseDateFormat value) {
    static const TDateSettings formats[] = {{"mm/dd/yy", '/'}, {"yy/mm/dd", '.'}, {"dd/mm/yy", '/'}, {"dd/mm/yy", '/'},
                                            {"dd/mm/yy", '.'}, {"dd/mm/yy", '-'}, {"dd/mm/yy", '-'}};
    FDateFormat = value;
    xb_SetDateFormat(value == dfWinDefault ? 99 : static_cast<int>(value));
    DateSettings() = value == dfWinDefault ? SystemDateSettings() : formats[value];
    if (FCentury)
        ApplyCentury(true);
}

void TXbaseEnv::SetLockTimeout(int value) {
    FLockTimeout = value;
    xb_SetLockTimeout(value);
}

void TXbaseEnv::SetMemoBlockSize(int value) {
    FMemoBlockSize = value;
    xb_SetMemoBlockSize(value);
}

void TXbaseEnv::SetSoftSeek(bool value) {
    FSoftSeek = value;
    xb_SetSoftSeek(value ? 1 : 0);
}

void TXbaseEnv::SetDeleted(bool value) {
    FDeleted = value;
    xb_SetDeleted(value ? 1 : 0);
}

std::string TXbaseEnv::ShortDateFormat() {
    return DateSettings().Format;
}

char TXbaseEnv::DateSeparator() {
    return DateSettings().Separator;
}

void TXbaseEnv::SetShortDateFormat(const std::string& format, char separator) {
    DateSettings() = {format, separator};
}
