// The fonts of the program's forms. DejaVu Sans comes with every Debian desktop (fontconfig depends on it), and
// the forms are laid out for it at these pixel sizes, so texts fit the fixed window sizes.
#pragma once

#include <QFont>

namespace Fonts {

inline constexpr const char* Family = "DejaVu Sans";

// Labels, edits and buttons.
QFont Dialog();
// Page and program titles.
QFont Title();
// The maker's small print.
QFont SmallPrint();

} // namespace Fonts
