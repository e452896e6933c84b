#include "printable.h"

#include <QStringDecoder>

namespace {

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

QString hexEscape(uint value)
{
    return QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
}

} // namespace

namespace printable {

QString escaped(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (!isControl(c.unicode())) {
            shown += c;
            continue;
        }
        switch (c.unicode()) {
        case '\n':
            shown += QLatin1String("\\n");
            break;
        case '\r':
            shown += QLatin1String("\\r");
            break;
        case '\t':
            shown += QLatin1String("\\t");
            break;
        default:
            shown += hexEscape(c.unicode());
        }
    }
    return shown;
}

QString bytes(const QByteArray &raw)
{
    QString shown;
    for (const char byte : raw) {
        const uchar c = uchar(byte);
        if (c >= 0x20 && c < 0x7f)
            shown += QLatin1Char(char(c));
        else
            shown += hexEscape(c);
    }
    return shown;
}

bool isUtf8(const QByteArray &raw)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder(raw);
    return !decoder.hasError();
}

} // namespace printable
