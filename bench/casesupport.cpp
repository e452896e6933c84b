#include "casesupport.h"

#include "cases.h"
#include "responderclient.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>

namespace bench {

bool writeStartupFile(const QByteArray &image, const QString &path)
{
    QFile file(path);
    return image.size() > kStartupBytes && file.open(QIODevice::WriteOnly)
        && file.write(image.left(kStartupBytes)) == kStartupBytes && file.flush();
}

double medianOf(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

QList<QByteArray> fleetImages(int mib)
{
    QList<QByteArray> images;
    for (int number = 1; number <= kFleetImages; ++number) {
        QByteArray image(qsizetype(mib) * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(20261207u + quint32(number));
        generator.fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / qsizetype(sizeof(quint32)));
        images << image;
    }
    return images;
}

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

bool endTransfer(ResponderClient &responder, qint64 expected, qint64 startNs, qint64 endNs,
                 std::chrono::milliseconds quiet, CaseResult &result)
{
    const ResponderClient::Stats stats = responder.stats();
    if (!stats.valid()) {
        result.error = QStringLiteral("responder does not tell its counts");
        return false;
    }
    if (stats.seen != expected || stats.answered != expected) {
        result.error = QStringLiteral("responder saw %1 and answered %2 commands, expected %3")
                           .arg(stats.seen)
                           .arg(stats.answered)
                           .arg(expected);
        return false;
    }
    if (stats.lastAnswerNs < startNs || stats.lastAnswerNs > endNs) {
        result.error = QStringLiteral("the last answer, at %1 ns, is outside the transfer, %2 to %3 ns")
                           .arg(stats.lastAnswerNs)
                           .arg(startNs)
                           .arg(endNs);
        return false;
    }
    const qint64 quietNs = qint64(quiet.count()) * 1000000;
    if (quietNs > endNs - startNs) {
        result.error = QStringLiteral("the program reports %1 ms of quiet in a %2 ms transfer")
                           .arg(quiet.count())
                           .arg(double(endNs - startNs) / 1e6);
        return false;
    }
    result.seconds = double(endNs - startNs - quietNs) / 1e9;
    result.quietMs = double(quiet.count());
    return true;
}

} // namespace bench
