#ifndef PROTOCOL_H
#define PROTOCOL_H

// The device's update protocol: command datagrams to port 1235, answers on
// port 1246, and the write blocks that carry an image. Pure functions of
// bytes, so every program of the project and the tests share one framing.

#include <QByteArray>
#include <QtGlobal>

enum message_types : quint32 {
    MT_READ = 0,
    MT_INIT = 15,
    MT_ERASE = 240,
    MT_WRITE = 255,
};

enum write_file_status_t : quint8 {
    WFS_MID = 0,
    WFS_START = 1,
    WFS_END = 2,
};

namespace protocol {

constexpr quint16 kDevicePort = 1235;  // commands go here, and leave from here
constexpr quint16 kAckPort = 1246;     // the device answers here
constexpr int chunkSize = 1400;        // image bytes per write block
constexpr int kBlockHeaderSize = 5;    // image no, status, length (2), index
constexpr int kCommandHeaderSize = 3;  // A5 5A <type>
constexpr int kChecksumSize = 4;
// A full write block on the wire: the longest datagram a device ever needs.
constexpr int kMaxWriteDatagram = kCommandHeaderSize + kBlockHeaderSize + chunkSize + kChecksumSize;

constexpr char kHeader0 = char(0xA5);
constexpr char kHeader1 = char(0x5A);

// A5 5A <type> followed by `data`.
QByteArray commandDatagram(message_types type, const QByteArray &data = QByteArray());

quint32 blockCount(qsizetype imageSize);

// Write block `index` of `image` as it goes after A5 5A FF. A one-block image
// goes as START (the first-block rule wins), without checksum, declaring the
// bytes it really carries; the END block carries the checksum.
QByteArray writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum);
// The same block with its A5 5A FF in front: the whole datagram.
QByteArray writeDatagram(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum);
// The same, written over `out`, which keeps its memory from block to block
// unless someone else still holds it.
void writeDatagram(QByteArray &out, const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum);

// The type an answer carries, or -1 when it is no answer at all (shorter
// than three bytes, or without the A5 5A header). Anything after the type is
// ignored, as the device may pad its answers.
int answerType(const char *datagram, qint64 size);

// The four types the protocol has; any other in an answer is a refusal.
bool isKnownType(quint8 type);

} // namespace protocol

#endif // PROTOCOL_H
