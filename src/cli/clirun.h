#ifndef CLIRUN_H
#define CLIRUN_H

#include "cliarguments.h"
#include "clireport.h"

#include <QHash>
#include <QString>

#include <memory>

class QTextStream;
class StopSignals;
class TextReport;

// One run of the program once its arguments are read: chooses the adapter,
// checks every device address against it, reads and checks the images,
// opens the log, opens the sockets, updates the devices, and says how it
// all ended as the exit code. Nothing is sent, and nothing is written to the
// log file, before every check has passed.
class CliRun
{
public:
    // `terminal`: the text report may redraw its progress lines in place.
    // `stopSignals` installed already.
    CliRun(const CliArguments &arguments, StopSignals &stopSignals, QTextStream &out, QTextStream &err,
           bool terminal);
    ~CliRun();

    int exec();

private:
    int stop(int exitCode, const QString &message);
    QString pathOf(int imageNumber) const;

    CliArguments _arguments;
    StopSignals &_stopSignals;
    QTextStream &_err;
    std::unique_ptr<CliReport> _report;
    TextReport *_text = nullptr;  // _report, when it is text
};

#endif // CLIRUN_H
