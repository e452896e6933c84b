#ifndef BENCH_RESPONDERCLIENT_H
#define BENCH_RESPONDERCLIENT_H

// The control channel to varnel-bench-responder: short words to its device
// port, answered to our own ephemeral port.

#include <QByteArray>

#include <optional>
#include <utility>

namespace bench {

class ResponderClient
{
public:
    ResponderClient();
    ~ResponderClient();
    ResponderClient(const ResponderClient &) = delete;
    ResponderClient &operator=(const ResponderClient &) = delete;

    // The reply, or nothing after `tries` unanswered attempts.
    std::optional<QByteArray> ask(const char *word, int tries = 5, int waitMs = 200);

    // A word the responder confirms with "OK".
    bool command(const char *word);

    // Commands seen and answered since the last RESET, or {-1, -1}.
    std::pair<qint64, qint64> counts();

private:
    int _fd = -1;
};

} // namespace bench

#endif // BENCH_RESPONDERCLIENT_H
