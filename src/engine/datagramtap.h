#ifndef DATAGRAMTAP_H
#define DATAGRAMTAP_H

#include <QByteArray>
#include <QtGlobal>

// Whoever logs every datagram of a run: the window's hex log, the command
// line's log file. Called on the transport's thread for each datagram, so
// it must be cheap; a received datagram's bytes are only lent for the call.
class DatagramTap
{
public:
    // What a log keeps of a received datagram: as much as a full write
    // block's header and bytes, more than any answer; its size says the rest.
    static constexpr qint64 kLoggedBytes = 1408;

    virtual ~DatagramTap() = default;
    virtual void sent(quint32 device, const QByteArray &datagram) = 0;
    // `data` holds the first bytes (up to 2 KiB), `size` the real size;
    // `fromDevice`: from a device of the run, or from anyone else.
    virtual void received(quint32 from, const char *data, qint64 size, bool fromDevice) = 0;
};

#endif // DATAGRAMTAP_H
