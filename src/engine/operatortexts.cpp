#include "operatortexts.h"

#include <QFileInfo>

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

QString OperatorTexts::noAdapter() { return tr("No network adapter with an IPv4 address."); }
QString OperatorTexts::adapterWithoutIPv4() { return tr("The adapter has no IPv4 address.\nChoose another adapter."); }
QString OperatorTexts::adapterUnavailable(const QString &adapterName)
{
    return tr("Adapter %1 is not available.\nChoose the adapter again.").arg(adapterName);
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
    }
    return QString();
}

QString OperatorTexts::engineeringStart() { return tr("instructions here..."); }
QString OperatorTexts::sending() { return tr("sending file, please wait ..."); }
QString OperatorTexts::fileSent() { return tr("File Sent!"); }
QString OperatorTexts::noFileChosen() { return tr("No file chosen."); }
QString OperatorTexts::eraseFailed(const OperationResult &result)
{
    return tr("Erase failed: %1").arg(failureReason(result));
}

QString OperatorTexts::imagesRefused(const UpdateImage &image)
{
    return tr("%1\nNothing was erased.").arg(imageProblem(image.problem(), image.path()));
}

QString OperatorTexts::stoppedAtErase(const OperationResult &result)
{
    return tr("Update stopped at the erase.\n%1").arg(failureReason(result));
}

QString OperatorTexts::stoppedAtFile(int fileNumber, const OperationResult &result, const QString &path)
{
    return tr("Update stopped at file %1/3.\n%2").arg(fileNumber).arg(failureReason(result, path));
}

QString OperatorTexts::shortName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.size() > 24 ? name.left(21) + QStringLiteral("...") : name;
}

QString OperatorTexts::imageProblem(UpdateImage::Problem problem, const QString &path)
{
    const QString name = path.isEmpty() ? tr("The file") : shortName(path);
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
        return tr("No memory to read %1").arg(name);
    case UpdateImage::Problem::Changed:
        return tr("%1 changed while read.").arg(name);
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
        return tr("The network refused to send.");
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
        return tr("The device answered twice.");
    case Outcome::Aborted:
        return tr("Aborted.");
    }
    return QString();
}
