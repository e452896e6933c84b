#include "fleetwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("varnel-fleet"));
    // The desktop finds the window's icon and name through its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("invalid.varnel.fleet"));
    FleetWindow window;
    window.show();
    return app.exec();
}
