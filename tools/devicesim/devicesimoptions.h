#ifndef DEVICESIMOPTIONS_H
#define DEVICESIMOPTIONS_H

#include "devicesim.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// What varnel-devicesim was asked to do, read from its command line and
// checked before anything is bound.
struct DeviceSimOptions {
    QHostAddress first;            // the first device's address
    int count = 1;                 // devices, on consecutive addresses from `first`
    QList<QHostAddress> only;      // the devices the faults are for; empty: all
    QHostAddress target;           // whom every device answers; null: the sender
    DeviceSim::Faults faults;
    bool silent = false;
    QString saveDir;
    int imagesWanted = 0;          // quit after this many images, all devices together
    int devicesWanted = 0;         // quit once this many devices are through an update
    int seconds = 0;               // quit after this long; 0: never

    // Longest an answer may be held back, for letting the last ones leave.
    int longestDelayMs() const;

    // Prints the help and exits on --help; false with the reason in *why
    // when the command line is refused.
    static bool parse(const QStringList &arguments, DeviceSimOptions *options, QString *why);
};

#endif // DEVICESIMOPTIONS_H
