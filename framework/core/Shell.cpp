// Opening documents and links through the desktop's handlers.
#include "framework/core/Shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace Shell {

namespace {

const QLatin1String UrlPrefix("URL:");

// "mailto:x" or "https://x" carry a scheme; a Windows drive letter ("C:\x") is a path, not a scheme.
bool HasScheme(const QString& fileName) {
    const qsizetype colon = fileName.indexOf(QLatin1Char(':'));
    if (colon < 2)
        return false;
    for (qsizetype i = 0; i < colon; ++i) {
        const QChar c = fileName[i];
        const bool ok = c.isLetterOrNumber() || c == QLatin1Char('+') || c == QLatin1Char('-') || c == QLatin1Char('.');
        if (!ok || c.unicode() > 127)
            return false;
    }
    return true;
}

int OpenUrl(const QUrl& url) {
    if (!url.isValid() || url.scheme().isEmpty())
        return NoAssociation;
    return QDesktopServices::openUrl(url) ? Success : NoAssociation;
}

int OpenPath(const QString& fileName, const QString& params) {
    const QFileInfo info(fileName);
    if (!info.exists())
        return info.absoluteDir().exists() ? FileNotFound : PathNotFound;
    if (info.isFile() && info.isExecutable() && !params.isEmpty())
        return QProcess::startDetached(info.absoluteFilePath(), QProcess::splitCommand(params)) ? Success
                                                                                                : NoAssociation;
    return OpenUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
}

} // namespace

int Open(const QString& fileName, const QString& params) {
    if (fileName.isEmpty())
        return FileNotFound;
    if (fileName.startsWith(UrlPrefix, Qt::CaseInsensitive))
        return OpenUrl(QUrl(fileName.mid(UrlPrefix.size()), QUrl::StrictMode));
    if (HasScheme(fileName))
        return OpenUrl(QUrl(fileName, QUrl::StrictMode));
    return OpenPath(fileName, params);
}

} // namespace Shell
