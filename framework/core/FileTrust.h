// Whether a file the program takes orders or secrets from is the user's own: like ssh with its configuration,
// one that another user could change is not used.
#pragma once

#include <QString>

namespace FileTrust {

// Why another user could change the file or folder at path (its owner is neither the user nor root, or group or
// others may write to it), as a sentence naming it as what ("The settings file") and the fix; empty when only
// the user or root can. A path that is not there gives empty: whoever reads it says so.
QString ChangeableByOthers(const QString& path, const QString& what);
// True when users other than the owner may read the file at path.
bool ReadableByOthers(const QString& path);

} // namespace FileTrust
