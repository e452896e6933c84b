#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// What the suites share, in three tiers by what a suite links: image bytes
// and event-loop waits (Core); the fixed loopback addresses and ports, the
// simulated device and a bare stand-in for it (Network); the window's widgets
// found by object name, and its set-up for a test (Widgets).

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMetaEnum>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace testsupport {

// Bytes that differ from block to block, so a block cut at the wrong offset
// cannot pass for the right one; every byte value turns up.
inline QByteArray pseudoImage(qsizetype size, quint32 seed = 0x9E3779B9u)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (qsizetype i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Runs a real event loop until `done` holds or the time is up. Unlike
// QTest::qWaitFor it never sleeps between passes, so datagrams sent a few
// milliseconds apart are read one by one, as in the program itself.
inline bool runLoopUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    tick.start(5);
    loop.exec();
    return done();
}

// The name of an enumerator, for messages that say what came out.
template <typename Enum>
QString enumName(Enum value)
{
    const QMetaEnum meta = QMetaEnum::fromType<Enum>();
    const char *key = meta.valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QStringLiteral("value %1").arg(int(value));
}

// Command datagrams as the device reads them: "erase", and each write block
// as image/status/index ("1/1/0" starts image 1); anything else is "?".
inline QString wireLayout(const QList<QByteArray> &wire)
{
    QStringList parts;
    for (const QByteArray &d : wire) {
        if (d == QByteArray::fromHex("a55af0"))
            parts << QStringLiteral("erase");
        else if (d.size() > 8 && d.startsWith(QByteArray::fromHex("a55aff")))
            parts << QStringLiteral("%1/%2/%3").arg(quint8(d[3])).arg(quint8(d[4])).arg(quint8(d[7]));
        else
            parts << QStringLiteral("?");
    }
    return parts.join(QLatin1Char(' '));
}

// A program run as a child, its output gathered while the event loop turns.
struct Child {
    QProcess process;
    QByteArray out;
    QByteArray err;

    Child()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
    }
    // False when it did not end by itself in time.
    bool finish(int limitMs)
    {
        const bool ended = runLoopUntil([&] { return process.state() == QProcess::NotRunning; }, limitMs);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit;
    }
};

} // namespace testsupport

#ifdef QT_NETWORK_LIB

#include "devicesim.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace testsupport {

constexpr quint16 kCommandPort = 1235;
constexpr quint16 kAckPort = 1246;

inline QHostAddress pcAddress() { return QHostAddress(QStringLiteral("127.0.0.1")); }
inline QHostAddress deviceAddress() { return QHostAddress(QStringLiteral("127.0.0.2")); }
inline QHostAddress otherAddress() { return QHostAddress(QStringLiteral("127.0.0.3")); }

// Each suite has a network namespace of its own: no other suite holds the ports.
inline bool startSim(DeviceSim &sim) { return sim.start(deviceAddress()); }

inline bool bindWhenFree(QUdpSocket &socket, const QHostAddress &address, quint16 port)
{
    return socket.bind(address, port, QAbstractSocket::DontShareAddress);
}

// A bare socket standing in for the device, so the test decides what answers.
struct FakePeer {
    QUdpSocket socket;

    QNetworkDatagram next(int timeoutMs = 5000)
    {
        if (!QTest::qWaitFor([&] { return socket.hasPendingDatagrams(); }, timeoutMs))
            return QNetworkDatagram();
        return socket.receiveDatagram();
    }
    void answer(const QByteArray &bytes, const QHostAddress &to = pcAddress())
    {
        socket.writeDatagram(bytes, to, kAckPort);
    }
};

} // namespace testsupport

#endif // QT_NETWORK_LIB

// The window's side, for suites that link the window.
#ifdef QT_WIDGETS_LIB

#include "mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTextBrowser>

namespace testsupport {

const QString kFilesFound = QStringLiteral("Files found!\nConnecting to device ...");
const QString kConnected = QStringLiteral("Connected!\nReady to start the update.");

// The widgets the tests drive, found by object name.
struct Form {
    explicit Form(QWidget &w)
        : window(w)
    {
    }
    template <typename T>
    T *child(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    bool complete() const
    {
        return interfaces && updatePath && filePath && targetIp && connectButton && startButton
            && eraseButton && sendButton && userPrompt && engPrompt && bar && fileNumber && log
            && guide;
    }

    QList<QPushButton *> deviceButtons() const
    {
        return {connectButton, startButton, eraseButton, sendButton};
    }

    QWidget &window;
    QComboBox *interfaces = child<QComboBox>("combo_interfaces");
    QComboBox *updatePath = child<QComboBox>("combo_updatePath");
    QComboBox *filePath = child<QComboBox>("combo_filePath");
    QLineEdit *targetIp = child<QLineEdit>("txt_targetIp");
    QPushButton *connectButton = child<QPushButton>("btn_initUpdate");
    QPushButton *startButton = child<QPushButton>("btn_startUpdate");
    QPushButton *eraseButton = child<QPushButton>("btn_erase");
    QPushButton *sendButton = child<QPushButton>("btn_sendFile");
    QLabel *userPrompt = child<QLabel>("label_user_prompt");
    QLabel *engPrompt = child<QLabel>("label_prompt");
    QProgressBar *bar = child<QProgressBar>("progressBar");
    QSpinBox *fileNumber = child<QSpinBox>("spin_fileNumber");
    QTextBrowser *log = child<QTextBrowser>("txt_log");
    QTextBrowser *guide = child<QTextBrowser>("textBrowser");
};

// One window under test: a temporary update directory, the window, its form.
// Its quiet spells are short, unless a test asks for the program's own.
struct WindowFixture {
    QTemporaryDir dir;
    MainWindow window;
    Form f{window};
    QList<QByteArray> images;  // what writeImages() wrote, in file order

    WindowFixture() { window.link()->setTimeouts(withShortQuiet(window.link()->timeouts())); }

    static udpUpdater::Timeouts withShortQuiet(udpUpdater::Timeouts timeouts)
    {
        timeouts.quietMin = std::chrono::milliseconds(50);
        timeouts.quietMax = std::chrono::seconds(1);
        return timeouts;
    }

    // file1..3 of the given sizes; a size below 0 leaves that file out.
    bool writeImages(const QList<int> &sizes)
    {
        images.clear();
        for (int i = 0; i < sizes.size(); ++i) {
            const QByteArray data = sizes[i] < 0 ? QByteArray() : pseudoImage(sizes[i], quint32(200 + i));
            images.append(data);
            if (sizes[i] >= 0 && !writeFile(imagePath(i + 1), data))
                return false;
        }
        return dir.isValid() && f.complete();
    }
    QString imagePath(int fileNumber) const
    {
        return dir.filePath(QStringLiteral("file%1.varnelfmw").arg(fileNumber));
    }
    // The loopback adapter, the device at 127.0.0.2 (or as given), this directory.
    void prepare(const QString &adapterEntry = QStringLiteral("lo - 127.0.0.1"),
                 const QString &deviceIp = QStringLiteral("127.0.0.2"))
    {
        f.interfaces->addItem(adapterEntry);
        f.interfaces->setCurrentIndex(f.interfaces->count() - 1);
        f.targetIp->setText(deviceIp);
        MainWindow::addAndSelectPath(f.updatePath, dir.path());
    }
    // Starts the simulated device, writes the images, presses "Connect" and
    // waits for the answer; says why when it cannot.
    bool connectSim(DeviceSim &sim, const QList<int> &sizes = {3000, 1401, 4200})
    {
        if (!startSim(sim) || !writeImages(sizes)) {
            qWarning("no simulator or no images: %s", qPrintable(sim.errorString()));
            return false;
        }
        prepare();
        f.connectButton->click();
        if (runLoopUntil([&] { return f.startButton->isEnabled(); }, 8000))
            return true;
        qWarning("not connected: %s", qPrintable(f.userPrompt->text()));
        return false;
    }
};

} // namespace testsupport

#endif // QT_WIDGETS_LIB

#endif // TESTSUPPORT_H
