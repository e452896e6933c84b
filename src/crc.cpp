#include "crc.h"

crc::crc()
    : _type(CGT_NORMAL)
    , _polynomial(0x04C11DB7u)
    , _lastCRC(0)
{
}

quint32 crc::crc32(const QByteArray &data) const
{
    quint32 reg = 0xFFFFFFFFu;
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const qsizetype size = data.size();
    for (qsizetype i = 0; i < size; ++i)
        reg = (reg << 8) ^ crc32Table[(bytes[i] ^ (reg >> 24)) & 0xFFu];
    return reg;
}

// Kept for the other generator forms; crc32() always uses the MPEG-2 table.
void crc::selectGenerator(crcGenType type)
{
    switch (type) {
    case CGT_REVERSED:
        _polynomial = 0xEDB88320u;
        break;
    case CGT_REV_RECIPROCAL:
        _polynomial = 0x82608EDBu;
        break;
    case CGT_NORMAL:
    default:
        _polynomial = 0x04C11DB7u;
        break;
    }
}
