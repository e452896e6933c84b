#ifndef CRC_H
#define CRC_H

#include <QByteArray>
#include <QtGlobal>
#include <array>

enum crcGenType : quint32 {
    CGT_NORMAL = 0,
    CGT_REVERSED = 1,
    CGT_REV_RECIPROCAL = 2,
};

// CRC-32/MPEG-2 of an update image: the device checks each image against it.
class crc
{
public:
    crc();

    quint32 crc32(const QByteArray &data) const;
    void selectGenerator(crcGenType type);

    // The checksum carried on piece by piece, so that an image need not be
    // whole in memory: start at kStart, feed every piece in order, and the
    // register at the end is crc32() of the whole.
    static constexpr quint32 kStart = 0xFFFFFFFFu;
    static quint32 update(quint32 reg, const char *data, qsizetype size);

private:
    crcGenType _type;
    quint32 _polynomial;
    quint32 _lastCRC;
};

namespace crcdetail {

// MSB-first table for 0x04C11DB7, built by the compiler.
constexpr std::array<quint32, 256> makeTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 reg = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : (reg << 1);
        table[i] = reg;
    }
    return table;
}

// Tables for eight bytes a step: entry [k][i] is byte i followed by k zero
// bytes. Same checksum, a fraction of the time on a 32 MiB image.
constexpr std::array<std::array<quint32, 256>, 8> makeSlicingTables()
{
    std::array<std::array<quint32, 256>, 8> tables{};
    tables[0] = makeTable();
    for (int k = 1; k < 8; ++k)
        for (quint32 i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] << 8) ^ tables[0][tables[k - 1][i] >> 24];
    return tables;
}

inline constexpr std::array<std::array<quint32, 256>, 8> slicingTables = makeSlicingTables();

} // namespace crcdetail

inline constexpr std::array<quint32, 256> crc32Table = crcdetail::slicingTables[0];

#endif // CRC_H
