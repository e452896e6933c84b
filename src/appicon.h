#ifndef APPICON_H
#define APPICON_H

#include <QImage>

// The wide logo centred on a transparent square and scaled to `side`: the
// shape window managers, menus and software centres expect of an icon.
// Scaled as it is, the logo's smallest icon would be 16 x 7.
QImage squareLogo(const QImage &logo, int side);

#endif // APPICON_H
