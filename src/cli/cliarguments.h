#ifndef CLIARGUMENTS_H
#define CLIARGUMENTS_H

#include "devicescan.h"
#include "devicesession.h"
#include "fleetupdate.h"
#include "inputfile.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// One device as given, and where it was given, for the messages about it.
struct DeviceEntry {
    QHostAddress address;
    QString origin;  // "--device" or "FILE:LINE"
};

// The command line, read and checked as far as it can be without the
// network: every device address is checked already, except against the
// chosen adapter's subnet broadcast, which needs the adapter.
struct CliArguments {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Error;
    QString error;             // Error: why, in one line, safe to echo
    bool interrupted = false;  // Error: a stop signal came while an input was read
    QString helpText;          // Help

    FleetUpdate::Mode mode = FleetUpdate::Mode::Update;
    QList<DeviceEntry> devices;
    QString adapter;    // as given; empty: the one adapter holding every device
    QString directory;  // Update, and Check when given
    QString sendPath;   // SendOne
    int sendNumber = 0;
    int parallel = 8;
    DeviceSession::Timeouts timeouts;
    bool json = false;  // set on Error too, so a script gets its error event
    QString logFile;
    int retries = 0;  // more attempts for a device that failed
    std::chrono::milliseconds retryPause = std::chrono::seconds(5);
    QString reportFile;  // .json or .csv
    QList<NamedInput> devicesFiles;  // as read

    bool scan = false;  // --scan: find the devices instead of updating any
    std::optional<DeviceScan::Range> scanRange;  // none: the adapter's whole subnet
    std::chrono::milliseconds scanWait = DeviceScan::kDefaultWait;

    // The arguments as the system gave them: a path that is not UTF-8 is
    // refused as such, not looked for under another name.
    static CliArguments parse(const QList<QByteArray> &arguments);
    // The image files of the chosen mode, by their numbers.
    QList<std::pair<int, QString>> imageFiles() const;
};

#endif // CLIARGUMENTS_H
