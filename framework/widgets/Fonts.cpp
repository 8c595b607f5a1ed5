// The form fonts at fixed pixel sizes, so the layout does not depend on the screen's dots per inch.
#include "framework/widgets/Fonts.h"

namespace Fonts {

namespace {
QFont Make(int pixelSize) {
    QFont font(QString::fromLatin1(Family));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}
} // namespace

QFont Dialog() {
    return Make(11);
}

QFont Title() {
    return Make(19);
}

QFont SmallPrint() {
    return Make(9);
}

} // namespace Fonts
