#include "crc.h"

crc::crc()
    : _type(CGT_NORMAL)
    , _polynomial(0x04C11DB7u)
    , _lastCRC(0)
{
}

quint32 crc::crc32(const QByteArray &data) const
{
    return update(kStart, data.constData(), data.size());
}

quint32 crc::update(quint32 reg, const char *data, qsizetype size)
{
    const auto &t = crcdetail::slicingTables;
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        const uchar *b = bytes + i;
        reg ^= (quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]);
        reg = t[7][reg >> 24] ^ t[6][(reg >> 16) & 0xFFu] ^ t[5][(reg >> 8) & 0xFFu]
            ^ t[4][reg & 0xFFu] ^ t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]];
    }
    for (; i < size; ++i)
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
