#include "casesupport.h"

#include "responderclient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace bench {

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QString describe(const udpUpdater::Result &result)
{
    return QStringLiteral("outcome %1 at block %2 of %3 %4")
        .arg(int(result.outcome))
        .arg(result.blockIndex)
        .arg(result.blockCount)
        .arg(result.detail);
}

bool checkAnswered(ResponderClient &responder, qint64 expected, CaseResult &result)
{
    const auto [seen, answered] = responder.counts();
    if (seen != expected || answered != expected) {
        result.error = QStringLiteral("responder saw %1 and answered %2 commands, expected %3")
                           .arg(seen)
                           .arg(answered)
                           .arg(expected);
        return false;
    }
    return true;
}

} // namespace bench
