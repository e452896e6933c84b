#include "benchoptions.h"

#include "cases.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

namespace bench {

namespace {

QCommandLineOption hidden(const QString &name, const QString &valueName)
{
    QCommandLineOption option(name, QString(), valueName);
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

// An integer option within [low, high], or nothing.
std::optional<long long> number(const QCommandLineParser &parser, const QCommandLineOption &option,
                                 long long low, long long high, long long fallback)
{
    if (!parser.isSet(option))
        return fallback;
    bool ok = false;
    const long long value = parser.value(option).toLongLong(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

template<size_t N>
QString numbers(const int (&values)[N])
{
    QStringList list;
    for (const int value : values)
        list << QString::number(value);
    return list.join(QStringLiteral(", "));
}

// The cases a --cases list names, in the bench's order; "fleet" stands for
// every fleet case. Nothing, with `unknown`, for a name the bench lacks.
std::optional<QStringList> casesNamed(const QString &list, QString *unknown)
{
    QStringList wanted;
    for (const QString &part : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = part.trimmed();
        if (name == QLatin1String("fleet"))
            wanted += fleetCases();
        else if (name == QLatin1String("tftp"))
            wanted += kPeerCases;
        else if (name == QLatin1String("fleet-window"))
            wanted += kFleetWindowCases;  // judged against the command line's run
        else if (allCases().contains(name))
            wanted << name;
        else {
            *unknown = name;
            return std::nullopt;
        }
    }
    QStringList ordered;
    for (const QString &name : allCases()) {
        if (wanted.contains(name))
            ordered << name;
    }
    return ordered;
}

} // namespace

std::optional<BenchOptions> parseOptions(int argc, char **argv, int *exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Transfer benchmark: sends one image to a plain responder on loopback through a bare socket\n"
        "loop, the link, the window and the command line, puts the same image to a TFTP server of its\n"
        "own with curl and atftp (1400-byte blocks), and compares what each costs; then updates fleets\n"
        "of simulated devices through the engine, all at once. By default every case runs with all\n"
        "its processes on one CPU and again unpinned, round by round (the flood, idle and fleet cases\n"
        "on one CPU only); the exit status judges the one-CPU goals."));
    // Our own help option: Qt's adds --help-all, about options this program never takes.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Shows this help."));
    const QCommandLineOption sizeOption(QStringLiteral("size-mib"), QStringLiteral("Image size, 1..1024 (default 32)."),
                                        QStringLiteral("N"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs per case, 1..15 (default 5)."),
                                        QStringLiteral("N"));
    const QCommandLineOption placementOption(
        QStringLiteral("placement"),
        QStringLiteral("Runs one placement only. same: responder, TFTP server and cases on one CPU; spread: "
                       "responder and TFTP server on a second CPU; free: nothing pinned. Default: same and free, "
                       "round by round."),
        QStringLiteral("same|spread|free"));
    const QCommandLineOption casesOption(
        QStringLiteral("cases"),
        QStringLiteral("Runs only these cases, a comma list (default all but the fleet window's): %1; "
                       "fleet-N@Dms, N devices answering after D ms, for N of %2 and D of %3; fleet for all of "
                       "those; tftp for %4; fleet-window, the fleet window updating %5 devices, %6 at once, with "
                       "fleet-cli, the command line updating the same.")
            .arg(kCases.join(QStringLiteral(", ")), numbers(kFleetDevices), numbers(kFleetDelaysMs),
                 kPeerCases.join(QStringLiteral(" and ")))
            .arg(kFleetWindowDevices)
            .arg(kFleetWindowParallel),
        QStringLiteral("list"));
    const QCommandLineOption caseOption = hidden(QStringLiteral("case"), QStringLiteral("name"));
    const QCommandLineOption fileOption = hidden(QStringLiteral("file"), QStringLiteral("path"));
    const QCommandLineOption blocksOption = hidden(QStringLiteral("blocks"), QStringLiteral("N"));
    const QCommandLineOption resultOption = hidden(QStringLiteral("result"), QStringLiteral("path"));
    const QCommandLineOption flooderCpuOption = hidden(QStringLiteral("flooder-cpu"), QStringLiteral("N"));
    const QCommandLineOption simulatorCpuOption = hidden(QStringLiteral("simulator-cpu"), QStringLiteral("N"));
    const QCommandLineOption tftpPortOption = hidden(QStringLiteral("tftp-port"), QStringLiteral("N"));
    const QCommandLineOption tftpDirOption = hidden(QStringLiteral("tftp-dir"), QStringLiteral("path"));
    parser.addOptions({helpOption, sizeOption, runsOption, placementOption, casesOption, caseOption, fileOption,
                       blocksOption, resultOption, flooderCpuOption, simulatorCpuOption, tftpPortOption,
                       tftpDirOption});

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Without an application object yet, Qt does not know the program's name.
    const QString help =
        parser.helpText().replace(QLatin1String("<executable_name>"), QLatin1String("varnel-bench"));
    const auto usageError = [&](const QString &message) -> std::optional<BenchOptions> {
        const QString usageLine = help.section(QLatin1Char('\n'), 0, 0);
        std::fprintf(stderr, "varnel-bench: %s\n%s\n", qPrintable(message), qPrintable(usageLine));
        *exitCode = 2;
        return std::nullopt;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::printf("%s", qPrintable(help));
        *exitCode = 0;
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    BenchOptions options;
    const auto size = number(parser, sizeOption, 1, 1024, options.sizeMib);
    const auto runs = number(parser, runsOption, 1, 15, options.runs);
    const auto blocks = number(parser, blocksOption, 0, 0xffffffffLL, 0);
    const auto flooderCpu = number(parser, flooderCpuOption, -1, 1023, -1);
    const auto simulatorCpu = number(parser, simulatorCpuOption, -1, 1023, -1);
    const auto tftpPort = number(parser, tftpPortOption, 0, 65535, 0);
    if (!size)
        return usageError(QStringLiteral("--size-mib takes 1..1024"));
    if (!runs)
        return usageError(QStringLiteral("--runs takes 1..15"));
    if (!blocks)
        return usageError(QStringLiteral("--blocks takes a block count"));
    if (!flooderCpu)
        return usageError(QStringLiteral("--flooder-cpu takes a CPU number"));
    if (!simulatorCpu)
        return usageError(QStringLiteral("--simulator-cpu takes a CPU number"));
    if (!tftpPort)
        return usageError(QStringLiteral("--tftp-port takes a port"));
    options.sizeMib = int(*size);
    options.runs = int(*runs);
    options.blocks = quint32(*blocks);
    options.flooderCpu = int(*flooderCpu);
    options.simulatorCpu = int(*simulatorCpu);
    options.tftpPort = quint16(*tftpPort);
    options.tftpDir = parser.value(tftpDirOption);
    if (parser.isSet(placementOption)) {
        options.placement = parser.value(placementOption);
        if (!QStringList({"same", "spread", "free"}).contains(options.placement))
            return usageError(QStringLiteral("--placement takes same, spread or free"));
    }
    options.cases = defaultCases();
    if (parser.isSet(casesOption)) {
        QString unknown;
        const std::optional<QStringList> named = casesNamed(parser.value(casesOption), &unknown);
        if (!named)
            return usageError(QStringLiteral("--cases: no case \"%1\"").arg(unknown));
        if (named->isEmpty())
            return usageError(QStringLiteral("--cases names no case"));
        options.cases = *named;
    }
    options.caseName = parser.value(caseOption);
    options.imagePath = parser.value(fileOption);
    options.resultPath = parser.value(resultOption);
    if (options.isChild() && options.resultPath.isEmpty())
        return usageError(QStringLiteral("--case needs --result"));
    return options;
}

} // namespace bench
