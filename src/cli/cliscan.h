#ifndef CLISCAN_H
#define CLISCAN_H

#include "cliarguments.h"

class QTextStream;
class StopSignals;

// One run of --scan: chooses the adapter, works out the addresses to probe,
// opens the log and the sockets, probes, and prints the devices that
// answered, in address order, once the wait is over or a stop came. Exit 0
// when any answered, 1 when none did.
class CliScan
{
public:
    // `stopSignals` installed already.
    CliScan(const CliArguments &arguments, StopSignals &stopSignals, QTextStream &out, QTextStream &err);

    int exec();

private:
    int stop(int exitCode, const QString &message);

    CliArguments _arguments;
    StopSignals &_stopSignals;
    QTextStream &_out;
    QTextStream &_err;
};

#endif // CLISCAN_H
