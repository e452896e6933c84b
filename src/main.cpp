#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The desktop finds the window's icon and name through its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("invalid.varnel.updater"));
    MainWindow window;
    window.show();
    return app.exec();
}
