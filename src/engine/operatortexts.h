#ifndef OPERATORTEXTS_H
#define OPERATORTEXTS_H

#include "deviceaddress.h"
#include "devicelist.h"
#include "fleetupdate.h"
#include "operationresult.h"
#include "updateimage.h"

#include <QCoreApplication>
#include <QString>

#include <chrono>

// Every text the program shows or prints of its own, in one place, each
// through tr(). The guide prompt has two lines of about 35 characters, the
// engineering prompt one bold line of about 30: the texts are worded to fit.
class OperatorTexts
{
    Q_DECLARE_TR_FUNCTIONS(OperatorTexts)

public:
    // The guided update's prompts, as the operator has always known them.
    static QString checkingFiles();
    static QString filesNotFound();
    static QString filesFound();
    static QString connected();
    static QString erasing();
    static QString erased();
    static QString startingTransfer();
    static QString transferring(int fileNumber);
    static QString complete();
    // A choice differs from the one Connect used: that device is forgotten.
    static QString adapterChanged();
    static QString deviceIpChanged();
    static QString directoryChanged();
    // The bar during a transfer: the image, how far it is, and the time left
    // for the whole update once it can be told (`secondsLeft` below 0: not yet).
    static QString transferBar(int fileNumber, int percent, qint64 secondsLeft);

    // Why "Connect" got no further.
    static QString noAdapter();
    static QString adapterWithoutIPv4();
    static QString adapterUnavailable(const QString &adapterName);
    // An adapter name short enough for the prompt.
    static QString shortAdapterName(const QString &name);
    static QString unreachable(const QString &device);
    static QString cannotOpen(const QString &reason);
    static QString noAnswerToConnect();
    static QString connectRefused();
    static QString deviceAddressProblem(DeviceAddress::Problem problem, const QString &typed);
    // Why a device typed, pasted or imported into the fleet list was left out, in one line.
    static QString deviceEntryRefused(const DeviceList::Refusal &refusal);

    // The engineering tab: one bold line each.
    static QString engineeringStart();
    static QString sending();
    static QString fileSent();
    static QString noFileChosen();
    static QString sendFailed(const OperationResult &result, const QString &path);
    static QString eraseFailed(const OperationResult &result);

    // Where the guided update stopped, and why, in the guide prompt's two
    // lines. Once the device has acknowledged the erase, the second line says
    // what that means for the operator.
    static QString imagesRefused(UpdateImage::Problem problem, const QString &path);
    static QString stoppedAtErase(const OperationResult &result);
    static QString stoppedAtFile(int fileNumber, const OperationResult &result, const QString &path);

    // Whether a device that did not finish was erased: "not erased",
    // "possibly erased" or "erased".
    static QString erasure(FleetUpdate::Erasure erasure);

    // How long a wait for the device has lasted, of how long it may last.
    static QString waiting(std::chrono::milliseconds waited, std::chrono::milliseconds limit);

    // Why an operation failed, in one line of any length (the command line's
    // reason); `path` names the file.
    static QString failureReason(const OperationResult &result, const QString &path = QString());
    // ... of a device's last attempt, never saying an earlier one left it unerased.
    static QString failureReason(const FleetUpdate::DeviceReport &report, const QString &path = QString());
    // What is wrong with an image file; its name is cut to `nameLength`.
    static QString imageProblem(UpdateImage::Problem problem, const QString &path, int nameLength = 24);
    // A file name of at most `length` characters, for the prompts.
    static QString shortName(const QString &path, int length = 24);

private:
    static QString erasedNot(OperationResult::Outcome outcome);
    // Why the run stopped on the PC's side, for AdapterLost and NoLink.
    static QString adapterFault(OperationResult::Outcome outcome, const QString &name);
    // The system's reason a send was refused, without its full stop, cut to `length`.
    static QString systemReason(const QString &detail, int length);
};

#endif // OPERATORTEXTS_H
