#include "appicon.h"

#include <QPainter>

QImage squareLogo(const QImage &logo, int side)
{
    const int full = qMax(logo.width(), logo.height());
    QImage square(full, full, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    {
        QPainter painter(&square);
        painter.drawImage((full - logo.width()) / 2, (full - logo.height()) / 2, logo);
    }
    return square.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
