#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QByteArray>
#include <QString>

// Text from the command line, a file or the network, made safe to echo on a
// terminal: a control character in a path or a devices-file line must not
// move the cursor, clear the screen or forge a line of its own.
namespace printable {

// Control characters (C0, DEL, C1) as \n, \t, \r or \xNN; the rest as it is.
QString escaped(const QString &text);
// Bytes that are not valid UTF-8: printable ASCII as it is, every other byte as \xNN.
QString bytes(const QByteArray &raw);
bool isUtf8(const QByteArray &raw);

} // namespace printable

#endif // PRINTABLE_H
