#include "fleetupdate.h"

#include "crc.h"
#include "transport.h"

#include <algorithm>

struct FleetUpdate::Run {
    DeviceReport report;
    std::unique_ptr<DeviceSession> session;
    QTimer pause;           // after the erase
    QTimer retry;           // between attempts
    OperationResult failed; // the attempt before, while the retry waits
};

FleetUpdate::FleetUpdate(Transport *transport, QObject *parent)
    : QObject(parent)
    , _transport(transport)
{
}

FleetUpdate::~FleetUpdate() = default;

void FleetUpdate::start(const Options &options)
{
    _options = options;
    _options.parallel = qMax(1, _options.parallel);
    // Once, not once per device: every device would otherwise stall the
    // others while it works out the same sum.
    _checksums = _options.checksums;
    if (_checksums.size() != _options.images.size()) {
        _checksums.clear();
        for (const QByteArray &image : std::as_const(_options.images))
            _checksums.append(crc().crc32(image));
    }
    _runs.clear();
    _byDevice.clear();
    for (const QHostAddress &device : options.devices) {
        auto run = std::make_unique<Run>();
        run->report.device = device;
        run->pause.setSingleShot(true);
        run->retry.setSingleShot(true);
        Run *added = run.get();
        connect(&run->pause, &QTimer::timeout, this, [this, added] { sendImage(*added, 1); });
        connect(&run->retry, &QTimer::timeout, this, [this, added] { startAttempt(*added); });
        _byDevice.insert(device.toIPv4Address(), run.get());
        _runs.push_back(std::move(run));
    }
    _nextToStart = 0;
    _active = 0;
    _done = 0;
    _aborting = false;
    _running = true;
    if (_runs.empty()) {
        _running = false;
        emit finished();
        return;
    }
    fill();
}

void FleetUpdate::fill()
{
    // A device whose first command cannot leave ends inside startNext(): the
    // loop here starts the next one, not a call nested in that end, so a long
    // list of such devices cannot run the stack out.
    if (_filling)
        return;
    _filling = true;
    while (!_aborting && _active < _options.parallel && _nextToStart < int(_runs.size()))
        startNext();
    _filling = false;
    if (_done == int(_runs.size()) && _running) {
        _running = false;
        emit finished();
    }
}

void FleetUpdate::startNext()
{
    Run &run = *_runs[size_t(_nextToStart++)];
    ++_active;
    run.report.started = true;
    run.report.startedAt = QDateTime::currentDateTimeUtc();
    startAttempt(run);
}

void FleetUpdate::startAttempt(Run &run)
{
    // A session of its own: the one before stayed to take the late answers
    // of its attempt in the pause; from now on they reach no session, and
    // any that come after the new connect's answer are surplus to it.
    run.session.reset();
    ++run.report.attempts;
    run.report.imagesDone = 0;
    run.session = std::make_unique<DeviceSession>(_transport, _options.adapter, run.report.device);
    run.session->setTimeouts(_options.timeouts);
    DeviceSession *session = run.session.get();
    connect(session, &DeviceSession::finished, this,
            [this, &run](const OperationResult &result) { onFinished(run, result); });
    connect(session, &DeviceSession::progress, this, [this, &run](int fileNumber, quint32 done, quint32 total) {
        emit progress(run.report.device, fileNumber, done, total);
    });
    emit attempt(run.report.device, run.report.attempts);
    if (_aborting || run.report.done)
        return;  // a slot stopped it
    session->connectDevice(_options.connectTimeout);
}

void FleetUpdate::onFinished(Run &run, const OperationResult &result)
{
    if (run.report.done)
        return;
    if (!result.ok() || _aborting) {
        OperationResult ended = result;
        if (_aborting && ended.ok())
            ended.outcome = OperationResult::Outcome::Aborted;
        if (!_aborting && ended.outcome != OperationResult::Outcome::Aborted
            && run.report.attempts <= _options.retries) {
            noteErasure(run, ended);
            run.failed = ended;
            // Started first: a stop from a slot of the signal finds it waiting.
            run.retry.start(_options.retryPause);
            emit attemptFailed(run.report.device, run.report.attempts, ended);
            return;
        }
        endDevice(run, ended);
        return;
    }

    switch (result.operation) {
    case OperationResult::Operation::Connect:
        emit connected(run.report.device);
        switch (_options.mode) {
        case Mode::Check:
            endDevice(run, result);
            break;
        case Mode::SendOne:
            sendImage(run, _options.sendNumber);
            break;
        case Mode::Update:
        case Mode::EraseOnly:
            run.session->erase(DeviceSession::Scope::SinceConnect);
            break;
        }
        return;
    case OperationResult::Operation::Erase:
        noteErasure(run, result);
        emit erased(run.report.device, result);
        if (_options.mode == Mode::EraseOnly)
            endDevice(run, result);
        else
            run.pause.start(_options.eraseToTransfer);
        return;
    case OperationResult::Operation::Image:
        ++run.report.imagesDone;
        emit imageDone(run.report.device, result);
        if (_options.mode == Mode::Update && result.fileNumber < 3)
            sendImage(run, result.fileNumber + 1);
        else
            endDevice(run, result);
        return;
    }
}

void FleetUpdate::sendImage(Run &run, int fileNumber)
{
    const int index = _options.mode == Mode::SendOne ? 0 : fileNumber - 1;
    run.session->sendImage(_options.images.value(index), fileNumber, _checksums.value(index),
                           DeviceSession::Scope::SinceConnect);
}

void FleetUpdate::endDevice(Run &run, const OperationResult &result)
{
    run.pause.stop();
    run.retry.stop();
    noteErasure(run, result);
    run.report.done = true;
    run.report.result = result;
    run.report.endedAt = QDateTime::currentDateTimeUtc();
    if (run.report.started)
        --_active;
    ++_done;
    emit deviceDone(run.report.device, result);
    fill();
}

void FleetUpdate::noteErasure(Run &run, const OperationResult &result)
{
    // An erase that left may have been carried out though never answered.
    Erasure now = Erasure::No;
    if (result.operation == OperationResult::Operation::Erase && result.sent)
        now = result.ok() ? Erasure::Yes : Erasure::Possibly;
    // An attempt that never got to its erase leaves the one before standing.
    run.report.erasure = std::max(run.report.erasure, now);
}

void FleetUpdate::abort()
{
    if (!_running || _aborting)
        return;
    _aborting = true;
    for (const auto &run : _runs) {
        if (run->report.done)
            continue;
        if (run->report.started) {
            run->pause.stop();
            const bool betweenAttempts = run->retry.isActive();
            run->retry.stop();
            if (run->session->isBusy()) {
                run->session->abort();  // reports through onFinished
                continue;
            }
            run->session->abort();
            if (betweenAttempts) {
                // It stopped where its last attempt failed.
                OperationResult aborted = run->failed;
                aborted.outcome = OperationResult::Outcome::Aborted;
                endDevice(*run, aborted);
                continue;
            }
        }
        // Not started, or between steps: it ends here, as Aborted.
        if (!run->report.done) {
            OperationResult aborted;
            aborted.operation = run->report.imagesDone > 0 ? OperationResult::Operation::Image
                                                           : OperationResult::Operation::Connect;
            endDevice(*run, aborted);
        }
    }
}

QList<FleetUpdate::DeviceReport> FleetUpdate::reports() const
{
    QList<DeviceReport> list;
    for (const auto &run : _runs)
        list.append(run->report);
    return list;
}

const FleetUpdate::DeviceReport *FleetUpdate::report(const QHostAddress &device) const
{
    const Run *run = _byDevice.value(device.toIPv4Address());
    return run ? &run->report : nullptr;
}

std::optional<FleetUpdate::Wait> FleetUpdate::wait(const QHostAddress &device) const
{
    const Run *run = _byDevice.value(device.toIPv4Address());
    const DeviceSession *session = run ? run->session.get() : nullptr;
    if (!session || !session->isAwaiting())
        return std::nullopt;
    return Wait{session->waited(), session->waitLimit()};
}
