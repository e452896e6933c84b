#include "operatortexts.h"

#include <QFileInfo>

namespace {

// "3:10", or "1:02:05" from an hour on.
QString clockText(qint64 seconds)
{
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString OperatorTexts::checkingFiles() { return tr("Checking update files ..."); }
QString OperatorTexts::filesNotFound() { return tr("Files could not be found.\nPlease start over."); }
QString OperatorTexts::filesFound() { return tr("Files found!\nConnecting to device ..."); }
QString OperatorTexts::connected() { return tr("Connected!\nReady to start the update."); }
QString OperatorTexts::erasing() { return tr("Erasing device ...\nDO NOT INTERRUPT POWER"); }
QString OperatorTexts::erased() { return tr("Device Erased!\nGetting update files ready ..."); }
QString OperatorTexts::startingTransfer()
{
    return tr("Device Erased! Starting file transfer ...\nDO NOT INTERRUPT POWER");
}
QString OperatorTexts::transferring(int fileNumber)
{
    return tr("Transfering file %1/3 ...\nDO NOT INTERRUPT POWER").arg(fileNumber);
}
QString OperatorTexts::complete() { return tr("Update Complete!\nYou can now POWER CYCLE the device."); }
QString OperatorTexts::adapterChanged() { return tr("Adapter changed: press Connect."); }
QString OperatorTexts::deviceIpChanged() { return tr("Device IP changed: press Connect."); }
QString OperatorTexts::directoryChanged() { return tr("Directory changed: press Connect."); }
QString OperatorTexts::transferBar(int fileNumber, int percent, qint64 secondsLeft)
{
    const QString done = tr("File %1/3: %2%").arg(fileNumber).arg(percent);
    return secondsLeft < 0 ? done : tr("%1, %2 left").arg(done, clockText(secondsLeft));
}

QString OperatorTexts::noAdapter() { return tr("No network adapter with an IPv4 address."); }
QString OperatorTexts::adapterWithoutIPv4() { return tr("The adapter has no IPv4 address.\nChoose another adapter."); }
QString OperatorTexts::adapterUnavailable(const QString &adapterName)
{
    return tr("Adapter %1 is not available.\nChoose the adapter again.").arg(shortAdapterName(adapterName));
}

QString OperatorTexts::shortAdapterName(const QString &name)
{
    constexpr int kLength = 14;
    return name.size() > kLength ? name.left(kLength - 3) + QStringLiteral("...") : name;
}
QString OperatorTexts::unreachable(const QString &device)
{
    return tr("%1 cannot be reached\nfrom this adapter.").arg(device);
}
QString OperatorTexts::cannotOpen(const QString &reason) { return tr("Cannot open the connection:\n%1").arg(reason); }
QString OperatorTexts::noAnswerToConnect() { return tr("No answer from the device.\nCheck IPs and update mode."); }
QString OperatorTexts::connectRefused() { return tr("The device refused to connect.\nCheck it is in update mode."); }

QString OperatorTexts::deviceAddressProblem(DeviceAddress::Problem problem, const QString &typed)
{
    switch (problem) {
    case DeviceAddress::Problem::None:
        break;
    case DeviceAddress::Problem::NotAnAddress:
        return tr("The device IP is not valid.\nType an IPv4 address.");
    case DeviceAddress::Problem::Unspecified:
        return tr("%1 is not a device address.\nType the device's own IP.").arg(typed);
    case DeviceAddress::Problem::Broadcast:
    case DeviceAddress::Problem::SubnetBroadcast:
        return tr("%1 is a broadcast address.\nType one device's IP.").arg(typed);
    case DeviceAddress::Problem::Multicast:
        return tr("%1 is a multicast address.\nType one device's IP.").arg(typed);
    case DeviceAddress::Problem::AdapterAddress:
        return tr("%1 is this PC's own IP.\nType the device's IP.").arg(typed);
    case DeviceAddress::Problem::NetworkAddress:
        return tr("%1 is a network address.\nType one device's IP.").arg(typed);
    case DeviceAddress::Problem::Reserved:
        return tr("%1 is a reserved address.\nType the device's own IP.").arg(typed);
    }
    return QString();
}

QString OperatorTexts::deviceEntryRefused(const DeviceList::Refusal &refusal)
{
    const QString &entry = refusal.entry;
    switch (refusal.problem) {
    case DeviceList::Problem::Address:
        return deviceAddressProblem(refusal.address, entry).replace(QLatin1Char('\n'), QLatin1Char(' '));
    case DeviceList::Problem::NotAnEntry:
        break;
    case DeviceList::Problem::RangeEnd:
        return tr("%1: a range ends on a last number from its first up to 255.").arg(entry);
    case DeviceList::Problem::Prefix:
        return tr("%1: a subnet's prefix is a number from 0 to 32.").arg(entry);
    case DeviceList::Problem::NotSubnetStart:
        return tr("%1 is not the first address of its subnet.").arg(entry);
    case DeviceList::Problem::TooMany:
        return tr("%1 holds more than %2 addresses.").arg(entry).arg(DeviceList::kMaxPerEntry);
    case DeviceList::Problem::Listed:
        return tr("%1 is listed already.").arg(entry);
    }
    return tr("%1 is not an address, a range (198.51.100.20-40) or a subnet (198.51.100.0/28).").arg(entry);
}

QString OperatorTexts::engineeringStart() { return tr("instructions here..."); }
QString OperatorTexts::sending() { return tr("sending file, please wait ..."); }
QString OperatorTexts::fileSent() { return tr("File Sent!"); }
QString OperatorTexts::noFileChosen() { return tr("No file chosen."); }
namespace {

// File names on the bold engineering line are cut to this: a longer name
// would push the reason out of the label.
constexpr int kEngineeringNameLength = 18;
// The system's reason for a refused send, cut to fit after "Not erased: "
// on the bold line, and after "File 3/3: " on a line of the guide prompt.
constexpr int kEngineeringReasonLength = 25;
constexpr int kPromptReasonLength = 26;

} // namespace

QString OperatorTexts::sendFailed(const OperationResult &result, const QString &path)
{
    using Outcome = OperationResult::Outcome;
    switch (result.outcome) {
    case Outcome::Success:
        break;
    case Outcome::NotConnected:
        return tr("Not sent: press Connect first.");
    case Outcome::FileNotReadable:
    case Outcome::ImageEmpty:
    case Outcome::ImageTooLarge:
        return imageProblem(result.imageProblem == UpdateImage::Problem::None ? UpdateImage::Problem::Unreadable
                                                                              : result.imageProblem,
                            path, kEngineeringNameLength);
    case Outcome::SendFailed:
        if (result.detail.isEmpty())
            return tr("Not sent: the network refused.");
        return tr("Not sent: %1.").arg(systemReason(result.detail, kEngineeringReasonLength));
    case Outcome::AdapterLost:
        return tr("Not sent: adapter lost its address.");
    case Outcome::NoLink:
        return tr("Not sent: adapter has no link.");
    case Outcome::NoAnswer:
        return tr("No answer at block %1 of %2.").arg(result.blockIndex + 1).arg(result.blockCount);
    case Outcome::NotConfirmed:
        return tr("Image %1 was not confirmed.").arg(result.fileNumber);
    case Outcome::Refused:
        return tr("Refused at block %1 of %2.").arg(result.blockIndex + 1).arg(result.blockCount);
    case Outcome::AnsweredTwice:
        return tr("The device answered twice.");
    case Outcome::Aborted:
        return tr("Aborted.");
    }
    return QString();
}

QString OperatorTexts::eraseFailed(const OperationResult &result)
{
    using Outcome = OperationResult::Outcome;
    // The erase left and no answer said how it went: the device may have
    // erased itself all the same.
    if (result.sent) {
        switch (result.outcome) {
        case Outcome::NoAnswer:
            return tr("No answer: may be erased.");
        case Outcome::AdapterLost:
            return tr("Adapter lost: may be erased.");
        case Outcome::NoLink:
            return tr("No link: may be erased.");
        case Outcome::AnsweredTwice:
            return tr("Answered twice: may be erased.");
        case Outcome::Aborted:
            return tr("Aborted: may be erased.");
        default:
            break;
        }
    }
    switch (result.outcome) {
    case Outcome::NotConnected:
        return tr("Not erased: press Connect first.");
    case Outcome::NoAnswer:
        return tr("Not erased: no answer.");
    case Outcome::Refused:
        return tr("Not erased: the device refused.");
    case Outcome::SendFailed:
        if (result.detail.isEmpty())
            return tr("Not erased: the network refused.");
        return tr("Not erased: %1.").arg(systemReason(result.detail, kEngineeringReasonLength));
    case Outcome::AdapterLost:
        return tr("Not erased: adapter lost its address.");
    case Outcome::NoLink:
        return tr("Not erased: adapter has no link.");
    default:
        break;
    }
    return tr("Not erased: %1").arg(erasedNot(result.outcome));
}

QString OperatorTexts::erasedNot(OperationResult::Outcome outcome)
{
    switch (outcome) {
    case OperationResult::Outcome::Aborted:
        return tr("aborted.");
    case OperationResult::Outcome::AnsweredTwice:
        return tr("answered twice.");
    default:
        break;
    }
    return tr("failed.");
}

QString OperatorTexts::imagesRefused(UpdateImage::Problem problem, const QString &path)
{
    return tr("%1\nNothing was erased.").arg(imageProblem(problem, path));
}

QString OperatorTexts::stoppedAtErase(const OperationResult &result)
{
    using Outcome = OperationResult::Outcome;
    if (result.outcome == Outcome::AnsweredTwice) {
        // Caught before the erase left, the device keeps its firmware.
        if (!result.sent)
            return tr("The device answered twice.\nNothing was erased.");
        return tr("Device answered twice at erase.\nNot updated: keep power on, retry.");
    }
    QString reason;
    if (result.outcome == Outcome::AdapterLost || result.outcome == Outcome::NoLink)
        reason = adapterFault(result.outcome, shortAdapterName(result.detail));
    else if (result.outcome == Outcome::SendFailed && !result.detail.isEmpty())
        reason = tr("Not sent: %1.").arg(systemReason(result.detail, kPromptReasonLength));
    else
        reason = failureReason(result);
    return tr("Update stopped at the erase.\n%1").arg(reason);
}

QString OperatorTexts::stoppedAtFile(int fileNumber, const OperationResult &result, const QString &path)
{
    using Outcome = OperationResult::Outcome;
    QString where;
    switch (result.outcome) {
    case Outcome::NoAnswer:
        where = tr("File %1/3: no answer at block %2.").arg(fileNumber).arg(result.blockIndex + 1);
        break;
    case Outcome::NotConfirmed:
        where = tr("File %1/3 was not confirmed.").arg(fileNumber);
        break;
    case Outcome::Refused:
        where = tr("File %1/3: block %2 was refused.").arg(fileNumber).arg(result.blockIndex + 1);
        break;
    case Outcome::AnsweredTwice:
        where = tr("File %1/3: device answered twice.").arg(fileNumber);
        break;
    case Outcome::SendFailed:
        where = result.detail.isEmpty()
                    ? tr("File %1/3: the network refused.").arg(fileNumber)
                    : tr("File %1/3: %2.").arg(fileNumber).arg(systemReason(result.detail, kPromptReasonLength));
        break;
    case Outcome::AdapterLost:
    case Outcome::NoLink:
        where = adapterFault(result.outcome, shortAdapterName(result.detail));
        break;
    case Outcome::NotConnected:
        where = tr("File %1/3: not connected.").arg(fileNumber);
        break;
    case Outcome::FileNotReadable:
    case Outcome::ImageEmpty:
    case Outcome::ImageTooLarge:
        where = imageProblem(result.imageProblem, path);
        break;
    case Outcome::Aborted:
    case Outcome::Success:
        where = tr("File %1/3: aborted.").arg(fileNumber);
        break;
    }
    // The device is erased by now: it has no firmware until an update ends.
    return tr("%1\nNot updated: keep power on, retry.").arg(where);
}

QString OperatorTexts::erasure(FleetUpdate::Erasure erasure)
{
    switch (erasure) {
    case FleetUpdate::Erasure::No:
        break;
    case FleetUpdate::Erasure::Possibly:
        return tr("possibly erased");
    case FleetUpdate::Erasure::Yes:
        return tr("erased");
    }
    return tr("not erased");
}

QString OperatorTexts::waiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit)
{
    return tr("waiting %1 of %2").arg(clockText(waited.count() / 1000), clockText(limit.count() / 1000));
}

QString OperatorTexts::shortName(const QString &path, int length)
{
    const QString name = QFileInfo(path).fileName();
    return name.size() > length ? name.left(length - 3) + QStringLiteral("...") : name;
}

QString OperatorTexts::imageProblem(UpdateImage::Problem problem, const QString &path, int nameLength)
{
    const QString name = path.isEmpty() ? tr("The file") : shortName(path, nameLength);
    switch (problem) {
    case UpdateImage::Problem::None:
        break;
    case UpdateImage::Problem::Missing:
        return tr("%1 is missing.").arg(name);
    case UpdateImage::Problem::NotAFile:
        return tr("%1 is not a file.").arg(name);
    case UpdateImage::Problem::Unreadable:
        return tr("Cannot read %1").arg(name);
    case UpdateImage::Problem::Empty:
        return tr("%1 is empty.").arg(name);
    case UpdateImage::Problem::TooLarge:
        return tr("%1 is over 512 MiB.").arg(name);
    case UpdateImage::Problem::OutOfMemory:
        return tr("No memory for %1").arg(name);
    case UpdateImage::Problem::Changed:
        return tr("%1 changed as read.").arg(name);
    }
    return QString();
}

QString OperatorTexts::failureReason(const OperationResult &result, const QString &path)
{
    using Outcome = OperationResult::Outcome;
    switch (result.outcome) {
    case Outcome::Success:
        break;
    case Outcome::NotConnected:
        return tr("Not connected: press Connect.");
    case Outcome::FileNotReadable:
    case Outcome::ImageEmpty:
    case Outcome::ImageTooLarge:
        return imageProblem(result.imageProblem == UpdateImage::Problem::None ? UpdateImage::Problem::Unreadable
                                                                              : result.imageProblem,
                            path);
    case Outcome::SendFailed:
        if (result.detail.isEmpty())
            return tr("The network refused to send.");
        return tr("The network refused to send: %1.").arg(systemReason(result.detail, -1));
    case Outcome::AdapterLost:
    case Outcome::NoLink:
        return adapterFault(result.outcome, result.detail);
    case Outcome::NoAnswer:
        if (result.operation != OperationResult::Operation::Image)
            return tr("The device did not answer.");
        return tr("No answer at block %1 of %2.").arg(result.blockIndex + 1).arg(result.blockCount);
    case Outcome::NotConfirmed:
        return tr("Sent, but not confirmed.");
    case Outcome::Refused:
        if (result.operation == OperationResult::Operation::Connect)
            return tr("The device refused to connect.");
        if (result.operation == OperationResult::Operation::Erase)
            return tr("The device refused the erase.");
        return tr("Device refused block %1 of %2.").arg(result.blockIndex + 1).arg(result.blockCount);
    case Outcome::AnsweredTwice:
        if (result.operation == OperationResult::Operation::Erase && !result.sent)
            return tr("The device answered twice; nothing was erased.");
        return tr("The device answered twice; it needs a new update.");
    case Outcome::Aborted:
        return tr("Aborted.");
    }
    return QString();
}

QString OperatorTexts::failureReason(const FleetUpdate::DeviceReport &report, const QString &path)
{
    OperationResult result = report.result;
    // "Nothing was erased" holds for the last attempt only.
    if (report.erasure != FleetUpdate::Erasure::No && result.operation == OperationResult::Operation::Erase)
        result.sent = true;
    return failureReason(result, path);
}

QString OperatorTexts::adapterFault(OperationResult::Outcome outcome, const QString &name)
{
    if (outcome == OperationResult::Outcome::NoLink)
        return name.isEmpty() ? tr("The adapter has no link.") : tr("Adapter %1 has no link.").arg(name);
    return name.isEmpty() ? tr("The adapter lost its address.") : tr("Adapter %1 lost its address.").arg(name);
}

QString OperatorTexts::systemReason(const QString &detail, int length)
{
    QString reason = detail.trimmed();
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    if (length >= 0 && reason.size() > length)
        reason = reason.left(length - 3) + QStringLiteral("...");
    return reason;
}
