#ifndef BENCH_FLOODERPROCESS_H
#define BENCH_FLOODERPROCESS_H

// A running varnel-bench-flooder, seen from the case that started it: how
// many strays it has sent so far, read from a counter it shares.

#include <QProcess>
#include <QTemporaryDir>

namespace bench {

class FlooderProcess
{
public:
    // Stray datagrams a second, from kStrayIp to the program's answer port.
    static constexpr int kRate = 50000;

    explicit FlooderProcess(int cpu);  // pinned there unless negative
    ~FlooderProcess();
    FlooderProcess(const FlooderProcess &) = delete;
    FlooderProcess &operator=(const FlooderProcess &) = delete;

    // Starts it for at most `seconds` and returns once strays are going out.
    bool start(int seconds, QString *error);
    // Strays sent so far.
    qint64 sent() const;
    // Ends it with SIGTERM; false, with `error`, when it did not end cleanly.
    bool stop(QString *error);

private:
    int _cpu;
    QTemporaryDir _dir;
    QProcess _process;
    const quint64 *_counter = nullptr;
    bool _started = false;
};

} // namespace bench

#endif // BENCH_FLOODERPROCESS_H
