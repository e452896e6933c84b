#include "protocol.h"

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

namespace {

void appendBlock(QByteArray &out, const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    const quint32 count = blockCount(image.size());
    const qsizetype offset = qsizetype(index) * chunkSize;
    const qsizetype length = qMin<qsizetype>(chunkSize, image.size() - offset);
    quint8 status = WFS_MID;
    bool withChecksum = false;
    if (index == 0) {
        status = WFS_START;
    } else if (index == count - 1) {
        status = WFS_END;
        withChecksum = true;
    }

    out.append(char(fileNumber))
        .append(char(status))
        .append(char((length >> 8) & 0xFF))
        .append(char(length & 0xFF))
        .append(char(index & 0xFF))
        .append(image.constData() + offset, length);
    if (withChecksum) {
        out.append(char((checksum >> 24) & 0xFF))
            .append(char((checksum >> 16) & 0xFF))
            .append(char((checksum >> 8) & 0xFF))
            .append(char(checksum & 0xFF));
    }
}

} // namespace

QByteArray writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    QByteArray block;
    block.reserve(kBlockHeaderSize + chunkSize + kChecksumSize);
    appendBlock(block, image, fileNumber, index, checksum);
    return block;
}

QByteArray writeDatagram(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    QByteArray datagram;
    datagram.reserve(kMaxWriteDatagram);
    datagram.append(kHeader0).append(kHeader1).append(char(MT_WRITE));
    appendBlock(datagram, image, fileNumber, index, checksum);
    return datagram;
}

void writeDatagram(QByteArray &out, const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
{
    if (!out.isDetached())
        out = QByteArray();
    out.reserve(kMaxWriteDatagram);
    out.resize(0);
    out.append(kHeader0).append(kHeader1).append(char(MT_WRITE));
    appendBlock(out, image, fileNumber, index, checksum);
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
