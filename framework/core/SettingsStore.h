// The per-user settings store: sections of string values under one key, read with defaults.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

class TSettingsStore {
public:
    // keyPath is "Software\<organisation>\<application>"; on Windows that is the key under the current user,
    // elsewhere an INI file in the user's configuration folder.
    explicit TSettingsStore(const QString& keyPath);
    ~TSettingsStore();
    // The same values in an INI file at path (the form the store has on Linux), as a program names it.
    static std::unique_ptr<TSettingsStore> FromFile(const QString& path);
    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    // A missing value, or one that is not text, gives the default.
    QString ReadString(const QString& section, const QString& ident, const QString& defaultValue) const;
    // Decimal text or "0x" followed by hexadecimal digits; anything else gives the default.
    int ReadInteger(const QString& section, const QString& ident, int defaultValue) const;
    // Stored as an integer; true when not 0.
    bool ReadBool(const QString& section, const QString& ident, bool defaultValue) const;

    // Every value is stored as a string.
    void WriteString(const QString& section, const QString& ident, const QString& value);
    void WriteInteger(const QString& section, const QString& ident, int value);
    void WriteBool(const QString& section, const QString& ident, bool value);

    // Writes pending changes; false when the store could not be written.
    bool Flush();
    // Where the values live (a file path, or the registry path on Windows).
    QString Location() const;

    // The integer conversion of stored text.
    static bool ParseInteger(const QString& text, int& value);

private:
    TSettingsStore() = default;
    static QString Key(const QString& section, const QString& ident);
    std::unique_ptr<QSettings> FSettings;
};
