// varnel-updater-cli: the update engine without a window, for scripts and
// for many devices at once.

#include "cliarguments.h"
#include "clirun.h"
#include "cliscan.h"
#include "exitcode.h"
#include "fdoutput.h"
#include "jsonreport.h"
#include "stopsignals.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // A reader of our output that goes away (| head) must not end an update
    // halfway through a device's flash: the writes just fail.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnel-updater-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNEL_VERSION));

    // The engine's notes are for the window's developers; QT_LOGGING_RULES
    // still brings them back.
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));

    // Before the arguments: reading a devices list from a FIFO is a wait too.
    // Made first, so it is gone last: the outputs' last flush is bounded too.
    StopSignals stopSignals;
    QString error;
    const bool stoppable = stopSignals.install(&error);

    // Neither a closed terminal nor a stalled reader may hold the run or end it.
    FdOutput standardOutput(STDOUT_FILENO);
    FdOutput standardError(STDERR_FILENO);
    QTextStream out(&standardOutput);
    QTextStream err(&standardError);
    const QString name = QCoreApplication::applicationName();
    if (!stoppable)
        err << name << ": Ctrl+C will not report the devices: " << error << Qt::endl;

    QList<QByteArray> raw;
    for (int i = 0; i < argc; ++i)
        raw.append(QByteArray(argv[i]));
    const CliArguments arguments = CliArguments::parse(raw);
    switch (arguments.action) {
    case CliArguments::Action::Help:
        out << arguments.helpText;
        return exitcode::kSuccess;
    case CliArguments::Action::Version:
        out << name << ' ' << QCoreApplication::applicationVersion() << '\n';
        return exitcode::kSuccess;
    case CliArguments::Action::Error: {
        const int code = arguments.interrupted ? exitcode::kInterrupted : exitcode::kUsage;
        if (arguments.json) {
            JsonReport(out, err).stopped(code, name + QStringLiteral(": ") + arguments.error);
            return code;
        }
        err << name << ": " << arguments.error << '\n';
        if (!arguments.interrupted)
            err << "Try --help.\n";
        return code;
    }
    case CliArguments::Action::Run:
        break;
    }
    if (arguments.scan)
        return CliScan(arguments, stopSignals, out, err).exec();
    // JSON lines are never drawn over.
    const bool terminal = !arguments.json && ::isatty(STDOUT_FILENO);
    CliRun run(arguments, stopSignals, out, err, terminal);
    return run.exec();
}
