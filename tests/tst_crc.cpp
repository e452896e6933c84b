#include <QtTest>

#include "testsupport.h"

#include "crc.h"

namespace {

using testsupport::pseudoImage;

constexpr quint32 kPolynomial = 0x04C11DB7u;

// Straight from the definition, one bit at a time and without a table, so a
// wrong table entry or a wrong table index shows up as a mismatch.
quint32 bitwiseCrc(const QByteArray &data)
{
    quint32 reg = 0xFFFFFFFFu;
    for (const char c : data) {
        reg ^= quint32(quint8(c)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80000000u) ? (reg << 1) ^ kPolynomial : (reg << 1);
    }
    return reg;
}

QByteArray highBytes()
{
    QByteArray bytes;
    for (int b = 0x80; b <= 0xFF; ++b)
        bytes.append(char(b));
    return bytes;
}

} // namespace

class TestCrc : public QObject
{
    Q_OBJECT

private slots:
    void checksum_data();
    void checksum();
    void table();
};

void TestCrc::checksum_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("check string") << QByteArray("123456789") << 0x0376E6E7u;
    QTest::newRow("abc") << QByteArray("abc") << 0x9B73448Cu;
    QTest::newRow("empty") << QByteArray() << 0xFFFFFFFFu;
    // The known vectors above keep the reference honest for the rows below.
    QTest::newRow("bytes 0x80..0xFF") << highBytes() << bitwiseCrc(highBytes());
    QTest::newRow("embedded zeros") << QByteArray(64, '\0') << bitwiseCrc(QByteArray(64, '\0'));
    QTest::newRow("three blocks") << pseudoImage(3000) << bitwiseCrc(pseudoImage(3000));
    // Eight bytes are taken a step below 64, and 16 or 64 folded at a time
    // from 64 on: the lengths around each change of step, and the tails.
    for (int size : {1, 7, 8, 9, 15, 16, 17, 23, 63, 64, 65, 79, 80, 81, 127, 128, 129, 143, 191, 192, 1399, 1400,
                     1401, 4109})
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes").arg(size)))
            << pseudoImage(size) << bitwiseCrc(pseudoImage(size));
}

void TestCrc::checksum()
{
    QFETCH(QByteArray, data);
    QFETCH(quint32, expected);

    QCOMPARE(bitwiseCrc(data), expected);
    crc checksum;
    QCOMPARE(checksum.crc32(data), expected);
    // Wherever it starts in memory, and carried on from piece to piece, as
    // the simulated device checks what it receives.
    const int offset = 1 + int(data.size() % 15);
    const QByteArray shifted = QByteArray(offset, '\x5a') + data;
    quint32 reg = crc::kStart;
    for (int piece = 0; piece < 3; ++piece) {
        const qsizetype from = data.size() * piece / 3;
        reg = crc::update(reg, shifted.constData() + offset + from, data.size() * (piece + 1) / 3 - from);
    }
    QCOMPARE(reg, expected);
    // Another generator form chosen, or the object used once, changes nothing.
    for (const crcGenType type : {CGT_REVERSED, CGT_REV_RECIPROCAL, crcGenType(7), CGT_NORMAL}) {
        checksum.selectGenerator(type);
        QCOMPARE(checksum.crc32(data), expected);
    }
}

void TestCrc::table()
{
    QCOMPARE(crc32Table[0], 0x00000000u);
    QCOMPARE(crc32Table[1], 0x04C11DB7u);
    QCOMPARE(crc32Table[2], 0x09823B6Eu);
    QCOMPARE(crc32Table[3], 0x0D4326D9u);
    QCOMPARE(crc32Table[255], 0xB1F740B4u);
}

QTEST_GUILESS_MAIN(TestCrc)
#include "tst_crc.moc"
