#include "protocol.h"

#include <cstring>

namespace protocol {

QByteArray commandDatagram(message_types type, const QByteArray &data)
{
    QByteArray datagram;
    datagram.reserve(kCommandHeaderSize + data.size());
    datagram.append(kHeader0).append(kHeader1).append(char(type & 0xFF)).append(data);
    return datagram;
}

quint32 blockCount(qsizetype imageSize)
{
    return quint32(imageSize / chunkSize + (imageSize % chunkSize > 0 ? 1 : 0));
}

QByteArray writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    return writeDatagram(image, fileNumber, index, checksum).mid(kCommandHeaderSize);
}

QByteArray writeDatagram(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    QByteArray datagram;
    writeDatagram(datagram, image, fileNumber, index, checksum);
    return datagram;
}

void writeDatagram(QByteArray &out, const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    // Written in place, the image bytes copied once: this runs for every block.
    const quint32 count = blockCount(image.size());
    const qsizetype offset = qsizetype(index) * chunkSize;
    const qsizetype length = qMin<qsizetype>(chunkSize, image.size() - offset);
    const bool last = index != 0 && index == count - 1;
    const quint8 status = index == 0 ? WFS_START : last ? WFS_END : WFS_MID;
    const qsizetype size = kCommandHeaderSize + kBlockHeaderSize + length + (last ? kChecksumSize : 0);
    if (!out.isDetached() || out.capacity() < kMaxWriteDatagram)
        out = QByteArray(kMaxWriteDatagram, Qt::Uninitialized);
    out.resize(size);
    char *d = out.data();
    d[0] = kHeader0;
    d[1] = kHeader1;
    d[2] = char(MT_WRITE);
    d[3] = char(fileNumber);
    d[4] = char(status);
    d[5] = char((length >> 8) & 0xFF);
    d[6] = char(length & 0xFF);
    d[7] = char(index & 0xFF);
    std::memcpy(d + 8, image.constData() + offset, size_t(length));
    if (last) {
        char *sum = d + 8 + length;
        sum[0] = char((checksum >> 24) & 0xFF);
        sum[1] = char((checksum >> 16) & 0xFF);
        sum[2] = char((checksum >> 8) & 0xFF);
        sum[3] = char(checksum & 0xFF);
    }
}

int answerType(const char *datagram, qint64 size)
{
    if (size < kCommandHeaderSize || datagram[0] != kHeader0 || datagram[1] != kHeader1)
        return -1;
    return quint8(datagram[2]);
}

bool isKnownType(quint8 type)
{
    return type == MT_READ || type == MT_INIT || type == MT_ERASE || type == MT_WRITE;
}

} // namespace protocol
