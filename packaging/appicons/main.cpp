// Writes the logo as the square PNG icons the desktop installs, one per
// size, at build time:
//   varnel-appicons LOGO.png OUTDIR SIZE...   ->  OUTDIR/SIZExSIZE.png

#include "appicon.h"

#include <QDir>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: varnel-appicons LOGO.png OUTDIR SIZE...\n");
        return 2;
    }
    const QImage logo(QString::fromLocal8Bit(argv[1]));
    if (logo.isNull()) {
        std::fprintf(stderr, "varnel-appicons: cannot read %s\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    if (!out.mkpath(QStringLiteral(".")))
        return 1;
    for (int i = 3; i < argc; ++i) {
        bool ok = false;
        const int side = QByteArray(argv[i]).toInt(&ok);
        if (!ok || side < 16 || side > 1024) {
            std::fprintf(stderr, "varnel-appicons: not a size: %s\n", argv[i]);
            return 2;
        }
        const QString file = out.filePath(QStringLiteral("%1x%1.png").arg(side));
        if (!squareLogo(logo, side).save(file, "PNG")) {
            std::fprintf(stderr, "varnel-appicons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
