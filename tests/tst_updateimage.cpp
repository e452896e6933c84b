// Reading an update image: what is refused before anything is sent, that a
// FIFO never blocks, and that running out of memory is a reason, not a crash.

#include "operationresult.h"
#include "testsupport.h"
#include "updateimage.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(UpdateImage::Problem)
Q_DECLARE_METATYPE(OperationResult::Outcome)

class tst_UpdateImage : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
    void outOfMemoryIsAReason();

private:
    QTemporaryDir dir;
};

void tst_UpdateImage::load_data()
{
    using P = UpdateImage::Problem;
    using O = OperationResult::Outcome;
    QTest::addColumn<QString>("kind");
    QTest::addColumn<UpdateImage::Problem>("problem");
    QTest::addColumn<OperationResult::Outcome>("outcome");  // how an operation sending it ends

    QTest::newRow("one byte") << "1" << P::None << O::Success;
    QTest::newRow("3000 bytes") << "3000" << P::None << O::Success;
    QTest::newRow("link to a file") << "link" << P::None << O::Success;
    QTest::newRow("empty") << "0" << P::Empty << O::ImageEmpty;
    QTest::newRow("missing") << "missing" << P::Missing << O::FileNotReadable;
    QTest::newRow("no path") << "nopath" << P::Missing << O::FileNotReadable;
    QTest::newRow("dangling link") << "dangling" << P::Missing << O::FileNotReadable;
    QTest::newRow("directory") << "directory" << P::NotAFile << O::FileNotReadable;
    QTest::newRow("FIFO without writer") << "fifo" << P::NotAFile << O::FileNotReadable;
    // Opened and closed again at once: still not a file, and still no wait.
    QTest::newRow("FIFO with a writer that leaves") << "fifo+writer" << P::NotAFile << O::FileNotReadable;
    QTest::newRow("link to /dev/null") << "devnull" << P::NotAFile << O::FileNotReadable;
    QTest::newRow("link to /dev/zero") << "devzero" << P::NotAFile << O::FileNotReadable;
    QTest::newRow("one byte over the limit") << "huge" << P::TooLarge << O::ImageTooLarge;
    QTest::newRow("40 GB sparse") << "sparse40g" << P::TooLarge << O::ImageTooLarge;
}

void tst_UpdateImage::load()
{
    QFETCH(QString, kind);
    QFETCH(UpdateImage::Problem, problem);
    QFETCH(OperationResult::Outcome, outcome);
    QVERIFY(dir.isValid());

    const QString path = dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char('/'), QLatin1Char('_')));
    QByteArray expected;
    bool sized = false;
    const int size = kind.toInt(&sized);
    if (sized) {
        expected = testsupport::pseudoImage(size);
        QVERIFY(testsupport::writeFile(path, expected));
    } else if (kind == QLatin1String("link")) {
        expected = testsupport::pseudoImage(1500);
        QVERIFY(testsupport::writeFile(path + QStringLiteral(".target"), expected));
        QVERIFY(QFile::link(path + QStringLiteral(".target"), path));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(path + QStringLiteral(".gone"), path));
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind.startsWith(QLatin1String("fifo"))) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == QLatin1String("devnull") || kind == QLatin1String("devzero")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/") + kind.mid(3), path));
    } else if (kind == QLatin1String("huge") || kind == QLatin1String("sparse40g")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(kind == QLatin1String("huge") ? UpdateImage::kMaxSize + 1 : qint64(40) << 30));
    }

    // Off the test's thread, so a FIFO that blocked would show as a time-out.
    const QString loaded = kind == QLatin1String("nopath") ? QString() : path;
    QFuture<UpdateImage> future = QtConcurrent::run([loaded] { return UpdateImage::load(loaded); });
    if (kind == QLatin1String("fifo+writer")) {
        const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    QVERIFY(testsupport::runLoopUntil([&] { return future.isFinished(); }, 5000));
    const UpdateImage image = future.result();
    QCOMPARE(testsupport::enumName(image.problem()), testsupport::enumName(problem));
    QCOMPARE(image.ok(), problem == UpdateImage::Problem::None);
    QCOMPARE(testsupport::enumName(OperationResult::outcomeOf(image.problem())), testsupport::enumName(outcome));
    QCOMPARE(image.path(), loaded);
    if (image.ok())
        QVERIFY(image.data() == expected);
    else
        QVERIFY(image.data().isEmpty());
}

void tst_UpdateImage::outOfMemoryIsAReason()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer reserves more address space than the limit this test sets");
#else
    // An image within the size limit, in a process whose memory is capped
    // below it: the read must come back as a reason, not kill the process.
    const QString path = dir.filePath(QStringLiteral("big-sparse"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(UpdateImage::kMaxSize));
    }
    const QByteArray encoded = QFile::encodeName(path);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Room for what runs now, not for 512 MiB more.
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        struct rusage usage {};
        ::getrusage(RUSAGE_SELF, &usage);
        limit.rlim_cur = rlim_t(usage.ru_maxrss) * 1024 + rlim_t(256) * 1024 * 1024;
        ::setrlimit(RLIMIT_AS, &limit);
        const UpdateImage image = UpdateImage::load(QFile::decodeName(encoded));
        ::_exit(image.problem() == UpdateImage::Problem::OutOfMemory ? 0 : 1 + int(image.problem()));
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), "the child died instead of reporting");
    QCOMPARE(WEXITSTATUS(status), 0);
#endif
}

QTEST_GUILESS_MAIN(tst_UpdateImage)
#include "tst_updateimage.moc"
