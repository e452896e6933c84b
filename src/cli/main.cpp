// varnel-updater-cli: the update engine without a window, for scripts and
// for many devices at once.

#include "cliarguments.h"
#include "clirun.h"
#include "exitcode.h"

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

    QTextStream out(stdout);
    QTextStream err(stderr);
    const CliArguments arguments = CliArguments::parse(QCoreApplication::arguments());
    switch (arguments.action) {
    case CliArguments::Action::Help:
        out << arguments.helpText;
        return exitcode::kSuccess;
    case CliArguments::Action::Version:
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion() << '\n';
        return exitcode::kSuccess;
    case CliArguments::Action::Error:
        err << QCoreApplication::applicationName() << ": " << arguments.error << "\nTry --help.\n";
        return exitcode::kUsage;
    case CliArguments::Action::Run:
        break;
    }
    // JSON lines are never drawn over.
    const bool terminal = !arguments.json && ::isatty(STDOUT_FILENO);
    CliRun run(arguments, out, err, terminal);
    return run.exec();
}
