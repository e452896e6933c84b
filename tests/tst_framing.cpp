#include <QtTest>

#include "testsupport.h"

#include "protocol.h"

namespace {

using testsupport::pseudoImage;

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes;
    bytes.append(char(value >> 24)).append(char(value >> 16)).append(char(value >> 8)).append(char(value));
    return bytes;
}

int declaredLength(const QByteArray &block)
{
    return (quint8(block.at(2)) << 8) | quint8(block.at(3));
}

} // namespace

class TestFraming : public QObject
{
    Q_OBJECT

private slots:
    void imageSizes_data();
    void imageSizes();
};

void TestFraming::imageSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("fileNumber");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QList<int>>("lengths");

    QTest::newRow("3000: START MID END of 200") << 3000 << 2 << QList<int>{WFS_START, WFS_MID, WFS_END}
                                               << QList<int>{1400, 1400, 200};
    QTest::newRow("2800: START + END of 1400") << 2800 << 1 << QList<int>{WFS_START, WFS_END} << QList<int>{1400, 1400};
    QTest::newRow("1401: START + END of 1") << 1401 << 2 << QList<int>{WFS_START, WFS_END} << QList<int>{1400, 1};
    QTest::newRow("1400: one START block") << 1400 << 3 << QList<int>{WFS_START} << QList<int>{1400};
    QTest::newRow("1399: one short START block") << 1399 << 1 << QList<int>{WFS_START} << QList<int>{1399};
    QTest::newRow("1: one byte") << 1 << 3 << QList<int>{WFS_START} << QList<int>{1};
    QTest::newRow("4201: START MID MID END") << 4201 << 3
                                            << QList<int>{WFS_START, WFS_MID, WFS_MID, WFS_END}
                                            << QList<int>{1400, 1400, 1400, 1};
    QTest::newRow("0: no block") << 0 << 1 << QList<int>{} << QList<int>{};
    // Past two wraps of the one-byte index.
    QList<int> statuses{WFS_START}, lengths(600, 1400);
    statuses << QList<int>(598, WFS_MID) << WFS_END;
    lengths.last() = 700;
    QTest::newRow("600 blocks") << 599 * 1400 + 700 << 3 << statuses << lengths;
}

void TestFraming::imageSizes()
{
    QFETCH(int, size);
    QFETCH(int, fileNumber);
    QFETCH(QList<int>, statuses);
    QFETCH(QList<int>, lengths);

    const QByteArray image = pseudoImage(size);
    // Four different bytes, so a swapped order shows.
    const quint32 checksum = 0xA1B2C3D4u;
    const quint32 count = protocol::blockCount(size);
    QCOMPARE(count, quint32(statuses.size()));

    QByteArray payload;
    for (quint32 index = 0; index < count; ++index) {
        const QByteArray block = protocol::writeBlock(image, quint8(fileNumber), index, checksum);
        QVERIFY(block.size() >= 5);
        QCOMPARE(int(quint8(block.at(0))), fileNumber);
        QCOMPARE(int(quint8(block.at(1))), statuses.at(index));
        QCOMPARE(declaredLength(block), lengths.at(index));
        QCOMPARE(int(quint8(block.at(4))), int(index & 0xFF));

        const bool carriesChecksum = statuses.at(index) == WFS_END;
        QCOMPARE(block.size(), 5 + lengths.at(index) + (carriesChecksum ? 4 : 0));
        payload += block.mid(5, lengths.at(index));
        if (carriesChecksum)
            QCOMPARE(block.right(4), bigEndian(checksum));
    }
    QCOMPARE(payload, image);
}

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"
