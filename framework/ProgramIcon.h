// The program's icon, drawn at run time so that no image file has to travel with the program.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace ProgramIcon {

// The 32 x 32 picture shown in the wizard's top panel and in the About box.
QPixmap Pixmap();
// The window icon in the sizes the desktop asks for.
QIcon Icon();

} // namespace ProgramIcon
