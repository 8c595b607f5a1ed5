// Asks the desktop to open a document, a web address or a mail link, with the classic shell result codes.
#pragma once

#include <QString>

namespace Shell {

// Results above 32 mean success; the failures used here.
inline constexpr int OutOfMemory = 0;
inline constexpr int FileNotFound = 2;
inline constexpr int PathNotFound = 3;
inline constexpr int NoAssociation = 31;
inline constexpr int Success = 42;

// FileName is a local path, a URL with its scheme ("mailto:...") or "URL:" followed by a web address.
// Params are passed to a program when FileName names an executable file; documents and links ignore them.
int Open(const QString& fileName, const QString& params);

} // namespace Shell
