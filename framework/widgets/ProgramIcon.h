// The program's icon, drawn at run time so that no image file has to travel with the program; the installed
// PNG icons are drawn by the same code (desktop/IconPng.cpp), the SVG follows the same grid.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace ProgramIcon {

// The picture in size x size pixels; 32 x 32 in the wizard's top panel and in the About box.
QPixmap Pixmap(int size = 32);
// The window icon in the sizes the desktop asks for.
QIcon Icon();

} // namespace ProgramIcon
