#include "crc.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

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

namespace {

quint32 tableUpdate(quint32 reg, const uchar *bytes, qsizetype size)
{
    const auto &t = crcdetail::slicingTables;
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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CRC_FOLDING 1

// Carry-less multiplication folds 16 bytes at a time: a 128-bit remainder R
// followed by n more bits is R * x^n, and R = H * x^64 + L folds into
// H * (x^(n+64) mod P) + L * (x^n mod P), which is below 128 bits again and
// leaves the checksum unchanged. The table finishes the last 16 bytes and
// the tail.
constexpr quint64 xPowerModP(int n)
{
    quint64 r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x100000000ull)
            r ^= 0x104C11DB7ull;
    }
    return r;
}

constexpr quint64 kFold16High = xPowerModP(128 + 64);
constexpr quint64 kFold16Low = xPowerModP(128);
constexpr quint64 kFold64High = xPowerModP(512 + 64);
constexpr quint64 kFold64Low = xPowerModP(512);

// Sixteen bytes as one polynomial and back: the first byte's top bit is the
// highest term.
__attribute__((target("ssse3"))) inline __m128i byteReversed(__m128i v)
{
    return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

__attribute__((target("ssse3"))) inline __m128i loadReversed(const uchar *p)
{
    return byteReversed(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

__attribute__((target("pclmul"))) inline __m128i fold(__m128i r, __m128i constants)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(r, constants, 0x11), _mm_clmulepi64_si128(r, constants, 0x00));
}

// At least 64 bytes.
__attribute__((target("pclmul,ssse3"))) quint32 foldingUpdate(quint32 reg, const uchar *bytes, qsizetype size)
{
    const __m128i by16 = _mm_set_epi64x(qint64(kFold16High), qint64(kFold16Low));
    const __m128i by64 = _mm_set_epi64x(qint64(kFold64High), qint64(kFold64Low));

    // The register going in is the same as its value added to the first four bytes.
    __m128i r0 = _mm_xor_si128(loadReversed(bytes), _mm_set_epi32(int(reg), 0, 0, 0));
    __m128i r1 = loadReversed(bytes + 16);
    __m128i r2 = loadReversed(bytes + 32);
    __m128i r3 = loadReversed(bytes + 48);
    qsizetype i = 64;
    // Four remainders side by side, so the multiplications overlap.
    for (; i + 64 <= size; i += 64) {
        r0 = _mm_xor_si128(fold(r0, by64), loadReversed(bytes + i));
        r1 = _mm_xor_si128(fold(r1, by64), loadReversed(bytes + i + 16));
        r2 = _mm_xor_si128(fold(r2, by64), loadReversed(bytes + i + 32));
        r3 = _mm_xor_si128(fold(r3, by64), loadReversed(bytes + i + 48));
    }
    __m128i r = _mm_xor_si128(fold(r0, by16), r1);
    r = _mm_xor_si128(fold(r, by16), r2);
    r = _mm_xor_si128(fold(r, by16), r3);
    for (; i + 16 <= size; i += 16)
        r = _mm_xor_si128(fold(r, by16), loadReversed(bytes + i));

    uchar last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(last), byteReversed(r));
    return tableUpdate(tableUpdate(0, last, 16), bytes + i, size - i);
}

bool canFold()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return can;
}
#endif

} // namespace

quint32 crc::update(quint32 reg, const char *data, qsizetype size)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data);
#ifdef CRC_FOLDING
    if (size >= 64 && canFold())
        return foldingUpdate(reg, bytes, size);
#endif
    return tableUpdate(reg, bytes, size);
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
