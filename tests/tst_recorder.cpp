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

// A disk that the test plays: each sync after the first `fastSyncs` takes syncMs or, at -1,
// waits for the test to let it go; a write of a row holding "cut" stops halfway full.
struct FakeDisk
{
    int fastSyncs = 0;
    std::atomic<int> syncMs { 0 }; // changed by the test while the writer's thread reads it
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
                QFile other(fake.path);
                if (row.contains("replace") && other.open(QIODevice::WriteOnly))
                    other.write("another program's file\n");
                return n;
            },
             [](int handle) {
                 if (++fake.syncs > fake.fastSyncs) {
                     if (fake.syncMs < 0)
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

        // The reports of a record arrive after the next one started: they count for nothing,
        // neither t3's row nor a record that could not open (sysfs takes no new file).
        QSignalSpy failed(&recorder, &Recorder::failed);
        recorder.append("t3,3\n");
        recorder.start("/sys/quorvel-record.csv", Existing::Overwrite, "h\n");
        // The same file again, the overwrite confirmed by the user: the earlier rows go.
        recorder.start(path, Existing::Overwrite, "h\n");
        recorder.append("r\n");
        QTRY_COMPARE(recorder.rowsWritten(), 1);
        QCOMPARE(contents(path), "h\nr\n");
        QCOMPARE(written.size(), 3); // t1, t2 and r, not t3
        QVERIFY(recorder.isRecording());
        QCOMPARE(failed.size(), 0);
    }

    // Quitting waits for every row handed over, however slow the disk; a stalled one is given
    // up after the bound with the rows it did not take. A full disk leaves no cut row, and every
    // failure a clear text.
    void slowOrFullDisk_data()
    {
        // %1: the test's folder, which holds an earlier record, kept.csv, that is overwritten
        // only when the user confirms; any other path is confirmed, as the dialog does.
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("syncMs");      // each sync after the header's; -1: stalled
        QTest::addColumn<QByteArray>("rows"); // handed over, then finish(1000)
        QTest::addColumn<qint64>("notWritten");
        QTest::addColumn<QByteArray>("file"); // null: not read back
        QTest::addColumn<QString>("failure"); // %1: the path
        QTest::addColumn<int>("counted");     // rows said to be on the disk, after a failure
        const auto row = [](const char *name, const QString &path, const char *rows,
                            const QByteArray &file, const QString &failure, int counted,
                            int syncMs = 0, qint64 notWritten = 0) {
            QTest::newRow(name) << path << syncMs << QByteArray(rows) << notWritten << file
                                << failure << counted;
        };
        const QString record = "%1/record.csv", full = "can't write %1: No space left on device";
        row("sync takes 2 s a row: quit waits for all three", record, "r1\nr2\nr3\n",
            "h\nr1\nr2\nr3\n", "", 3, 2000);
        row("stalled disk: given up after the bound, r2 unsynced and r3 told lost", record,
            "r1\nr2\nr3\n", "h\nr1\nr2\n", "", 1, -1, 2);
        row("short write: cut back to the last whole row, the system's reason", record,
            "r1\n15.4321 cut\nr3\n", "h\nr1\n", "Recording stopped: " + full, 1);
        row("file deleted while recording: said after that row, r3 not taken", record,
            "r1\ndelete\nr3\n", "(unreadable)", "Recording stopped: %1 was deleted", 1);
        row("file replaced while recording: said after that row, the new one untouched", record,
            "r1\nreplace\nr3\n", "another program's file\n",
            "Recording stopped: %1 was replaced by another file", 1);
        row("disk full (/dev/full)", "/dev/full", "r1\nr2\n", QByteArray(),
            "Recording stopped: " + full, 0);
        // sysfs lets no one create a file, root included (chmod would not stop root).
        row("no permission: a new file in /sys", "/sys/quorvel-record.csv", "r1\nr2\n",
            "(unreadable)", "Can't record to %1: Permission denied", 0);
        row("an earlier record, overwriting not confirmed: left as it was", "%1/kept.csv",
            "r1\nr2\n", "an earlier record\n", "Can't record to %1: the file exists", 0);
    }

    void slowOrFullDisk()
    {
        QFETCH(QString, path);
        QFETCH(int, syncMs);
        QFETCH(QByteArray, rows);
        QFETCH(qint64, notWritten);
        QFETCH(QByteArray, file);
        QFETCH(QString, failure);
        fake.fastSyncs = syncMs < 0 ? 2 : 1; // the header's, and with a stall the first row's
        fake.syncMs = syncMs;
        fake.syncs = 0;
        fake.full = false;
        RecordFile::setDisk(fakeDisk());
        const auto system = qScopeGuard([] { RecordFile::setDisk({}); });
        QTemporaryDir folder;
        QFile earlier(folder.filePath("kept.csv"));
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier record\n") > 0);
        earlier.close();
        path = fake.path = path.arg(folder.path());

        auto *recorder = new Recorder;
        QSignalSpy failed(recorder, &Recorder::failed);
        QSignalSpy written(recorder, &Recorder::rowsWrittenChanged);
        recorder->start(path, path == earlier.fileName() ? Existing::Refuse : Existing::Overwrite,
                        "h\n");
        for (const QByteArray &row : rows.split('\n'))
            if (!row.isEmpty())
                recorder->append(row + '\n');
        if (!failure.isEmpty()) {
            QTRY_COMPARE(failed.size(), 1);
            QCOMPARE(failed.at(0).at(0).toString(), failure.arg(QDir::toNativeSeparators(path)));
            QVERIFY(!recorder->isRecording());
            recorder->append("dropped\n"); // not recording
            // The rows queued behind the failure neither count nor report again: once a next
            // record has its first row on the disk, the writer has long passed them.
            fake.full = false;
            recorder->start(folder.filePath("next.csv"), Existing::Refuse, "h\n");
            recorder->append("next\n");
            QTRY_COMPARE(recorder->rowsWritten(), 1);
            QTEST(int(written.size()) - 1, "counted");
            QCOMPARE(failed.size(), 1);
        }
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(recorder->finish(syncMs > 0 ? 10000 : 1000), notWritten);
        if (syncMs > 0)
            QVERIFY(timer.elapsed() >= 3 * syncMs - 100); // it waited, and was not cut short
        if (!file.isNull())
            QCOMPARE(contents(path), file);
        if (syncMs < 0) {
            fake.syncMs = 0; // the disk comes back: the writer finishes its rows
            fake.stalled.release();
            QTRY_COMPARE(recorder->finish(0), qint64(0));
        }
        delete recorder;
    }
};

QTEST_GUILESS_MAIN(tst_Recorder)
#include "tst_recorder.moc"
