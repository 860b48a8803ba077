// The record file on its thread: rows on the disk as they come, no overwriting unasked, and a
// clear text for every way a file can fail.
#include "recorder.h"

#include <QtTest>

#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using Existing = RecordFile::Existing;

// The size of each file as fdatasync forced it to the disk: this definition stands in for the
// C library's, and makes its system call.
static std::mutex syncMutex;
static QVector<qint64> syncedSizes;
extern "C" int fdatasync(int handle)
{
    struct stat status;
    if (::fstat(handle, &status) == 0) {
        std::lock_guard<std::mutex> lock(syncMutex);
        syncedSizes << qint64(status.st_size);
    }
    return int(::syscall(SYS_fdatasync, handle));
}

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A disk that the test plays: each sync after the first `fastSyncs` takes syncMs or, with
// stall, waits for the test to let it go; a write of a row holding "cut" stops halfway full.
struct FakeDisk
{
    int fastSyncs = 0;
    std::atomic<int> syncMs { 0 }; // changed by the test while the writer's thread reads them
    std::atomic<bool> stall { false };
    bool full = false;
    QString path; // a row holding "delete" or "replace" does that to it after being written
    QSemaphore stalled;
    std::atomic<int> syncs { 0 };
} fake;

RecordFile::Disk fakeDisk()
{
    return { [](int handle, const char *data, long size) -> long {
                if (fake.full) {
                    errno = ENOSPC;
                    return -1;
                }
                const QByteArray row(data, int(size));
                if (row.contains("cut")) {
                    fake.full = true;
                    return long(::write(handle, data, size_t(size / 2)));
                }
                const long n = long(::write(handle, data, size_t(size)));
                if (row.contains("delete") || row.contains("replace"))
                    QFile::remove(fake.path);
                if (row.contains("replace")) {
                    QFile other(fake.path);
                    if (other.open(QIODevice::WriteOnly))
                        other.write("another program's file\n");
                }
                return n;
            },
             [](int handle) {
                 if (++fake.syncs > fake.fastSyncs) {
                     if (fake.stall)
                         fake.stalled.acquire();
                     else
                         QThread::msleep(ulong(fake.syncMs)); // the disk's own time
                 }
                 return ::fdatasync(handle);
             } };
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void rowsReachTheFileAsTheyCome()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("record.csv");
        Recorder recorder;
        QSignalSpy written(&recorder, &Recorder::rowsWrittenChanged);
        recorder.start(path, Existing::Refuse, "time,value\n");
        QVERIFY(recorder.isRecording());
        recorder.append("t1,1\n");
        recorder.append("t2,2\n");
        QTRY_COMPARE(recorder.rowsWritten(), 2);
        // Read while the record is still open: nothing waits in a buffer, and each row was on
        // the disk before it counted.
        QCOMPARE(contents(path), "time,value\nt1,1\nt2,2\n");
        QCOMPARE(syncedSizes, (QVector<qint64> { 11, 16, 21 }));
        QCOMPARE(written.last().at(0).toLongLong(), 2);

        recorder.stop();
        recorder.append("t3,3\n"); // after stopping: not written
        // The same file again, the overwrite confirmed by the user: the earlier rows go.
        recorder.start(path, Existing::Overwrite, "h\n");
        recorder.append("r\n");
        QTRY_COMPARE(recorder.rowsWritten(), 1);
        QCOMPARE(contents(path), "h\nr\n");
        QCOMPARE(written.size(), 3); // t1, t2 and r, not t3
    }

    // Quitting waits for every row handed over, however slow the disk; a stalled one is given
    // up after the bound with the rows it did not take. A full disk leaves no cut row.
    void slowOrFullDisk_data()
    {
        QTest::addColumn<int>("syncMs");      // each sync after the header's; -1: stalled
        QTest::addColumn<QByteArray>("rows"); // handed over, then finish(1000)
        QTest::addColumn<qint64>("notWritten");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("failure");
        QTest::newRow("sync takes 2 s a row: quit waits for all three")
            << 2000 << QByteArray("r1\nr2\nr3\n") << qint64(0) << QByteArray("h\nr1\nr2\nr3\n")
            << "";
        QTest::newRow("stalled disk: given up after the bound, r2 unsynced and r3 told lost")
            << -1 << QByteArray("r1\nr2\nr3\n") << qint64(2) << QByteArray("h\nr1\nr2\n") << "";
        QTest::newRow("short write: cut back to the last whole row, the system's reason")
            << 0 << QByteArray("r1\n15.4321 cut\nr3\n") << qint64(0) << QByteArray("h\nr1\n")
            << "Recording stopped: can't write %1: No space left on device";
        QTest::newRow("file deleted while recording: said after that row, r3 not taken")
            << 0 << QByteArray("r1\ndelete\nr3\n") << qint64(0) << QByteArray("(unreadable)")
            << "Recording stopped: %1 was deleted";
        QTest::newRow("file replaced while recording: said after that row, the new one untouched")
            << 0 << QByteArray("r1\nreplace\nr3\n") << qint64(0)
            << QByteArray("another program's file\n")
            << "Recording stopped: %1 was replaced by another file";
    }

    void slowOrFullDisk()
    {
        QFETCH(int, syncMs);
        QFETCH(QByteArray, rows);
        QFETCH(qint64, notWritten);
        QFETCH(QByteArray, file);
        QFETCH(QString, failure);
        fake.fastSyncs = syncMs < 0 ? 2 : 1; // the header's, and with a stall the first row's
        fake.syncMs = syncMs;
        fake.stall = syncMs < 0;
        fake.syncs = 0;
        fake.full = false;
        RecordFile::setDisk(fakeDisk());
        const auto system = qScopeGuard([] { RecordFile::setDisk({}); });
        QTemporaryDir folder;
        const QString path = folder.filePath("record.csv");
        fake.path = path;

        auto *recorder = new Recorder;
        QSignalSpy failed(recorder, &Recorder::failed);
        recorder->start(path, Existing::Refuse, "h\n");
        for (const QByteArray &row : rows.split('\n'))
            if (!row.isEmpty())
                recorder->append(row + '\n');
        if (!failure.isEmpty()) {
            QTRY_COMPARE(failed.size(), 1);
            QCOMPARE(failed.at(0).at(0).toString(), failure.arg(QDir::toNativeSeparators(path)));
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(recorder->finish(syncMs > 0 ? 10000 : 1000), notWritten);
        if (syncMs > 0)
            QVERIFY(timer.elapsed() >= 3 * syncMs - 100); // it waited, and was not cut short
        QCOMPARE(contents(path), file);
        if (syncMs < 0) {
            fake.stall = false; // the disk comes back: the writer finishes its rows
            fake.syncMs = 0;
            fake.stalled.release();
            QTRY_COMPARE(recorder->finish(0), qint64(0));
        }
        delete recorder;
    }

    void failure_data()
    {
        QTest::addColumn<QString>("path"); // %1: a folder holding an earlier record, kept.csv
        QTest::addColumn<int>("existing");
        QTest::addColumn<QString>("error");
        // Confirmed, as the dialog does for an existing path such as /dev/full.
        QTest::newRow("disk full (/dev/full)")
            << "/dev/full" << int(Existing::Overwrite)
            << "Recording stopped: can't write /dev/full: No space left on device";
        // sysfs lets no one create a file, root included (chmod would not stop root).
        QTest::newRow("no permission: a new file in /sys")
            << "/sys/quorvel-record.csv" << int(Existing::Overwrite)
            << "Can't record to /sys/quorvel-record.csv: Permission denied";
        QTest::newRow("an earlier record, overwriting not confirmed: left as it was")
            << "%1/kept.csv" << int(Existing::Refuse)
            << "Can't record to %1/kept.csv: the file exists";
    }

    void failure()
    {
        QFETCH(QString, path);
        QFETCH(int, existing);
        QFETCH(QString, error);
        QTemporaryDir folder;
        QFile earlier(folder.filePath("kept.csv"));
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier record\n") > 0);
        earlier.close();

        Recorder recorder;
        QSignalSpy failed(&recorder, &Recorder::failed);
        QSignalSpy written(&recorder, &Recorder::rowsWrittenChanged);
        recorder.start(path.arg(folder.path()), Existing(existing), "header\n");
        recorder.append("row 1\n");
        recorder.append("row 2\n");
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), error.arg(folder.path()));
        QVERIFY(!recorder.isRecording());
        recorder.append("row 3\n"); // not recording: dropped
        QCOMPARE(contents(earlier.fileName()), "an earlier record\n");

        // The rows queued behind the failure neither count nor report again: once a next
        // record has its first row on the disk, the writer has long passed them.
        recorder.start(folder.filePath("next.csv"), Existing::Refuse, "header\n");
        recorder.append("next\n");
        QTRY_COMPARE(recorder.rowsWritten(), 1);
        QCOMPARE(written.size(), 1);
        QCOMPARE(failed.size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Recorder)
#include "tst_recorder.moc"
