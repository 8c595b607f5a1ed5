// An envelope with a small stack of letters behind it.
#include "framework/widgets/ProgramIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace ProgramIcon {

namespace {

QPixmap Draw(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);

    // The letters behind the envelope: the "mass" of the mailing.
    painter.setPen(QPen(QColor(90, 90, 90), 1));
    painter.setBrush(QColor(255, 250, 220));
    painter.drawRect(QRectF(8.5, 3.5, 20, 14));
    painter.drawRect(QRectF(5.5, 6.5, 20, 14));

    const QRectF envelope(1.5, 10.5, 26, 18);
    painter.setPen(QPen(QColor(20, 50, 120), 1.2));
    painter.setBrush(QColor(70, 130, 210));
    painter.drawRect(envelope);
    QPainterPath flap;
    flap.moveTo(envelope.topLeft());
    flap.lineTo(envelope.center().x(), envelope.top() + 10);
    flap.lineTo(envelope.topRight());
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 1.5));
    painter.drawPath(flap);

    // A green arrow: the mail leaves.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(40, 160, 60));
    QPainterPath arrow;
    arrow.moveTo(22, 21);
    arrow.lineTo(31, 25.5);
    arrow.lineTo(22, 30);
    arrow.closeSubpath();
    painter.drawPath(arrow);
    painter.drawRect(QRectF(17, 24, 6, 3));
    return pixmap;
}

} // namespace

QPixmap Pixmap(int size) {
    return Draw(size);
}

QIcon Icon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64})
        icon.addPixmap(Draw(size));
    return icon;
}

} // namespace ProgramIcon
