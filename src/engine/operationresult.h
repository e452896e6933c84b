#ifndef OPERATIONRESULT_H
#define OPERATIONRESULT_H

#include "updateimage.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <chrono>

// How one operation on one device ended: connect, erase, or one image.
class OperationResult
{
    Q_GADGET

public:
    enum class Outcome {
        Success,
        NotConnected,      // no device address yet ("Connect" not done)
        FileNotReadable,   // missing, not a regular file, unreadable, changed while read
        ImageEmpty,
        ImageTooLarge,     // over UpdateImage::kMaxSize
        SendFailed,        // the system refused to send the datagram; detail: its reason
        NoAnswer,          // the device did not answer in time
        NotConfirmed,      // every byte went out, the last block was never answered
        Refused,           // the device answered with a type it does not have
        AnsweredTwice,     // more answers than blocks: no answer of this image can be trusted
        AdapterLost,       // the adapter no longer holds its address; detail: its name, when known
        NoLink,            // the adapter is down or has no carrier; detail: its name
        Aborted,
    };
    Q_ENUM(Outcome)

    enum class Operation { Connect, Erase, Image };
    Q_ENUM(Operation)

    Operation operation = Operation::Image;
    // An operation that never got to say how it ended did not succeed.
    Outcome outcome = Outcome::Aborted;
    int fileNumber = 0;        // image number of a transfer, 0 for the erase and connect
    quint32 blockIndex = 0;    // block that was in flight when it ended
    quint32 blockCount = 0;    // blocks of the image
    QString detail;            // file or socket error text, when there is one
    // A command of this operation left the socket: for an erase, the device
    // may have erased itself even when no answer came.
    bool sent = false;
    // Why the image was refused, for FileNotReadable, ImageEmpty, ImageTooLarge.
    UpdateImage::Problem imageProblem = UpdateImage::Problem::None;
    // Spent listening for surplus answers around the image's last block: a
    // fixed cost per image, not per block.
    std::chrono::milliseconds quietTime{0};

    bool ok() const { return outcome == Outcome::Success; }

    // The outcome for an image that was refused before anything was sent.
    static Outcome outcomeOf(UpdateImage::Problem problem);
};

Q_DECLARE_METATYPE(OperationResult)

#endif // OPERATIONRESULT_H
