#ifndef APPICON_H
#define APPICON_H

#include <QIcon>
#include <QImage>

// The wide logo centred on a transparent square and scaled to `side`: the
// shape window managers, menus and software centres expect of an icon.
// Scaled as it is, the logo's smallest icon would be 16 x 7.
QImage squareLogo(const QImage &logo, int side);

// The logo in the sizes window managers ask for. The full 3750 x 1704
// picture is too big for an X11 window property: there would be no icon.
QIcon logoIcon(const QImage &logo);

#endif // APPICON_H
