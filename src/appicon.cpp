#include "appicon.h"

#include <QPainter>

QImage squareLogo(const QImage &logo, int side)
{
    // Scaled first, then centred: a square of the full 3750-pixel logo
    // would take 56 MB for a moment.
    const QImage scaled = logo.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    painter.drawImage((side - scaled.width()) / 2, (side - scaled.height()) / 2, scaled);
    return square;
}

QIcon logoIcon(const QImage &logo)
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(squareLogo(logo, size)));
    return icon;
}
