#include "fleetupdate.h"

#include "crc.h"
#include "transport.h"

struct FleetUpdate::Run {
    DeviceReport report;
    std::unique_ptr<DeviceSession> session;
    QTimer pause;
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
    run.session = std::make_unique<DeviceSession>(_transport, _options.adapter, run.report.device);
    run.session->setTimeouts(_options.timeouts);
    DeviceSession *session = run.session.get();
    connect(session, &DeviceSession::finished, this,
            [this, &run](const OperationResult &result) { onFinished(run, result); });
    connect(session, &DeviceSession::progress, this, [this, &run](int fileNumber, quint32 done, quint32 total) {
        emit progress(run.report.device, fileNumber, done, total);
    });
    connect(&run.pause, &QTimer::timeout, this, [this, &run] { sendImage(run, 1); });
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
        run.report.erasure = Erasure::Yes;
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
    if (result.operation == OperationResult::Operation::Erase && result.sent && !result.ok())
        run.report.erasure = Erasure::Possibly;
    run.report.done = true;
    run.report.result = result;
    if (run.report.started)
        --_active;
    ++_done;
    emit deviceDone(run.report.device, result);
    fill();
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
            if (run->session->isBusy()) {
                run->session->abort();  // reports through onFinished
                continue;
            }
            run->session->abort();
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
