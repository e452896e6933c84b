#ifndef BENCH_RESPONDERCLIENT_H
#define BENCH_RESPONDERCLIENT_H

// The control channel to varnel-bench-responder: short words to its device
// port, answered to our own ephemeral port.

#include <QByteArray>

#include <optional>

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

    struct Stats
    {
        qint64 seen = -1;          // commands since the last RESET
        qint64 answered = -1;
        qint64 lastAnswerNs = -1;  // monotonicNs() of the latest answer, 0 for none
        bool valid() const { return seen >= 0 && answered >= 0 && lastAnswerNs >= 0; }
    };
    // Invalid when the responder does not answer or says something else.
    Stats stats();

private:
    int _fd = -1;
};

} // namespace bench

#endif // BENCH_RESPONDERCLIENT_H
