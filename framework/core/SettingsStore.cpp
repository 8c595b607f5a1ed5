// The settings store over QSettings in the platform's native format.
#include "framework/core/SettingsStore.h"

#include <QStringList>
#include <limits>

namespace {

void SplitKeyPath(const QString& keyPath, QString& organization, QString& application) {
    QStringList parts = keyPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (!parts.isEmpty() && parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    organization = parts.isEmpty() ? QString() : parts.takeFirst();
    application = parts.join(QLatin1Char('/'));
}

} // namespace

TSettingsStore::TSettingsStore(const QString& keyPath) {
    QString organization;
    QString application;
    SplitKeyPath(keyPath, organization, application);
    FSettings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, organization, application);
}

TSettingsStore::~TSettingsStore() = default;

std::unique_ptr<TSettingsStore> TSettingsStore::FromFile(const QString& path) {
    std::unique_ptr<TSettingsStore> store(new TSettingsStore);
    store->FSettings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    return store;
}

QString TSettingsStore::Key(const QString& section, const QString& ident) {
    return section + QLatin1Char('/') + ident;
}

QString TSettingsStore::ReadString(const QString& section, const QString& ident, const QString& defaultValue) const {
    const QVariant value = FSettings->value(Key(section, ident));
    if (!value.isValid())
        return defaultValue;
    // An INI line edited by hand to "a, b" reads back as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1String(", "));
    if (!value.canConvert<QString>())
        return defaultValue;
    return value.toString();
}

bool TSettingsStore::ParseInteger(const QString& text, int& value) {
    QString digits = text.trimmed();
    bool negative = false;
    if (digits.startsWith(QLatin1Char('-')) || digits.startsWith(QLatin1Char('+'))) {
        negative = digits.startsWith(QLatin1Char('-'));
        digits.remove(0, 1);
    }
    int base = 10;
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        digits.remove(0, 2);
    }
    if (digits.isEmpty() || digits.startsWith(QLatin1Char('+')) || digits.startsWith(QLatin1Char('-')))
        return false;
    bool ok = false;
    const qlonglong magnitude = digits.toLongLong(&ok, base);
    if (!ok)
        return false;
    const qlonglong result = negative ? -magnitude : magnitude;
    if (result < std::numeric_limits<int>::min() || result > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(result);
    return true;
}

int TSettingsStore::ReadInteger(const QString& section, const QString& ident, int defaultValue) const {
    int value = defaultValue;
    if (!ParseInteger(ReadString(section, ident, QString()), value))
        return defaultValue;
    return value;
}

bool TSettingsStore::ReadBool(const QString& section, const QString& ident, bool defaultValue) const {
    return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TSettingsStore::WriteString(const QString& section, const QString& ident, const QString& value) {
    FSettings->setValue(Key(section, ident), value);
}

void TSettingsStore::WriteInteger(const QString& section, const QString& ident, int value) {
    WriteString(section, ident, QString::number(value));
}

void TSettingsStore::WriteBool(const QString& section, const QString& ident, bool value) {
    WriteString(section, ident, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TSettingsStore::Flush() {
    FSettings->sync();
    return FSettings->status() == QSettings::NoError;
}

QString TSettingsStore::Location() const {
    return FSettings->fileName();
}
