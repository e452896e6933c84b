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

} // namespace crcdetail

inline constexpr std::array<quint32, 256> crc32Table = crcdetail::makeTable();

#endif // CRC_H
