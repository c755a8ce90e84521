// Unpacks an image archive of 1 GiB (unpacked; about half of it compressible, like an OS image)
// onto a loop-mounted ext4 file system three ways, and prints the times:
//
//   tar -xzf      the yardstick, followed by sync
//   streamed      the daemon's way (ImageArchive): the archive read through a decompressing
//                 device, no temporary file; every file synced
//   staged        the alternative: decompressed first into a temporary file next to the
//                 archive, then read as a plain tar; every file synced. The temporary file is
//                 synced and dropped from the page cache before it is read, as on a phone,
//                 whose memory cannot hold it: there it goes to flash and comes back from it.
//
// Before each run the archive is dropped from the page cache too, so that every way reads it
// from the disk.
//
// and then the daemon's whole installation (e2fsck, resize2fs, mount, unpack, markers).
// Run it on the simulated device (it needs loop devices and mounts):
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       -- BUILD/bench/corvane-bench-install [MiB] [archive-cache-dir]
//
// The archive takes a while to make; give a directory (bound into the device) to keep it for
// the next run. Prints figures only; it never fails.

#include "benchsupport.h"
#include "enums.h"
#include "resetupdatemanager/imagearchive.h"
#include "resetupdatemanager/resetupdatemanager.h"

#include <KCompressionDevice>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

using Bench::run;
using Corvane::ResetUpdates::ImageArchive;

namespace {

struct Target
{
    QString image;
    QString device;

    // A fresh ext4 file system, mounted at /fimage.
    bool create(const QString &path, qint64 mib)
    {
        image = path;
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            !file.resize(mib * 1024 * 1024))
            return false;
        file.close();
        int code = 0;
        run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), image}, &code);
        if (code != 0)
            return false;
        device = run(QStringLiteral("losetup"),
            {QStringLiteral("--find"), QStringLiteral("--show"), image}, &code);
        if (code != 0)
            return false;
        QFile::remove(QStringLiteral("/dev/disk/by-partlabel/super"));
        QFile::link(device, QStringLiteral("/dev/disk/by-partlabel/super"));
        return true;
    }
    bool mount() { return ::mount(qPrintable(device), "/fimage", "ext4", 0, nullptr) == 0; }
    void unmount() { ::umount("/fimage"); }
    ~Target()
    {
        unmount();
        QFile::remove(QStringLiteral("/dev/disk/by-partlabel/super"));
        if (!device.isEmpty())
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
        QFile::remove(image);
    }
};

// Writes the file's dirty pages and forgets its cached ones.
void dropCache(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    ::fdatasync(file.handle());
    ::posix_fadvise(file.handle(), 0, 0, POSIX_FADV_DONTNEED);
}

void report(const char *name, bool ok, qint64 ms, qint64 bytes, qint64 tarMs)
{
    std::printf("  %-12s %7.2f s  %7.1f MB/s unpacked  %s", name, ms / 1000.0,
        ms > 0 ? double(bytes) / 1e6 / (ms / 1000.0) : 0.0, ok ? "" : "(FAILED) ");
    if (tarMs > 0)
        std::printf(" ratio to tar %.2f (goal <= 1.00)", double(ms) / double(tarMs));
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Corvane::Enums::registerTypes();
    const QString state = Bench::sandboxState("bench-install");
    if (state.isEmpty())
        return 0;
    const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const QDir work(
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : state + QStringLiteral("/bench-install"));
    work.mkpath(QStringLiteral("."));
    const qint64 total = mib * 1024 * 1024;

    const QString archive = work.filePath(QStringLiteral("image-%1.tar.gz").arg(mib));
    if (!QFileInfo::exists(archive)) {
        std::printf("making a %lld MiB archive (gzip)...\n", mib);
        std::fflush(stdout);
        if (!Bench::writeImageArchive(archive, total)) {
            std::printf("cannot make the archive\n");
            return 0;
        }
    }
    std::printf("archive: %lld MiB compressed, %lld MiB unpacked\n",
        QFileInfo(archive).size() / 1024 / 1024, mib);

    const QString fsImage = state + QStringLiteral("/bench-super.img");
    const qint64 fsMib = mib * 2 + 256;
    for (int round = 1; round <= 3; ++round) {
        std::printf("round %d\n", round);
        qint64 tarMs = 0;
        {
            Target target;
            target.create(fsImage, fsMib);
            target.mount();
            QDir(QStringLiteral("/fimage/x")).mkpath(QStringLiteral("."));
            dropCache(archive);
            QElapsedTimer timer;
            timer.start();
            int code = 0;
            run(QStringLiteral("tar"),
                {QStringLiteral("-xzf"), archive, QStringLiteral("-C"),
                    QStringLiteral("/fimage/x")},
                &code);
            ::sync();
            tarMs = timer.elapsed();
            report("tar -xzf", code == 0, tarMs, total, 0);
        }
        {
            Target target;
            target.create(fsImage, fsMib);
            target.mount();
            QDir().mkpath(QStringLiteral("/fimage/x/system-images"));
            dropCache(archive);
            QElapsedTimer timer;
            timer.start();
            ImageArchive streamed(archive);
            const bool ok = streamed.open() &&
                streamed.unpack(
                    QStringLiteral("/fimage/x"), QStringLiteral("/fimage/x/system-images"));
            report("streamed", ok, timer.elapsed(), total, tarMs);
        }
        {
            Target target;
            target.create(fsImage, fsMib);
            target.mount();
            QDir().mkpath(QStringLiteral("/fimage/x/system-images"));
            dropCache(archive);
            QElapsedTimer timer;
            timer.start();
            QTemporaryFile staged(work.filePath(QStringLiteral(".staged-XXXXXX.tar")));
            bool ok = staged.open();
            KCompressionDevice gzip(archive, KCompressionDevice::GZip);
            ok = ok && gzip.open(QIODevice::ReadOnly);
            QByteArray buffer(1024 * 1024, Qt::Uninitialized);
            for (qint64 n; ok && (n = gzip.read(buffer.data(), buffer.size())) > 0;)
                ok = staged.write(buffer.constData(), n) == n;
            ok = ok && staged.flush();
            dropCache(staged.fileName());
            ImageArchive plain(staged.fileName());
            ok = ok && plain.open() &&
                plain.unpack(
                    QStringLiteral("/fimage/x"), QStringLiteral("/fimage/x/system-images"));
            report("staged", ok, timer.elapsed(), total, tarMs);
        }
        {
            // The daemon's installation as a client starts it, minus the reboot.
            Target target;
            target.create(fsImage, fsMib);
            QDir().mkpath(QStringLiteral("/home/.system-updates/images"));
            const QString cached =
                QStringLiteral("/home/.system-updates/images/a-b-5.0.1.10.tar.gz");
            QFile::remove(cached);
            QFile::link(archive, cached);
            QDir().mkpath(QStringLiteral("/etc/ssu"));
            QFile ssu(QStringLiteral("/etc/ssu/ssu.ini"));
            if (ssu.open(QIODevice::WriteOnly))
                ssu.write("[General]\nmodel = m1\nfeatures = a, b\n");
            ssu.close();
            Corvane::ResetUpdates::ResetUpdateManager manager(false, -1);
            bool ended = false;
            bool ok = false;
            QObject::connect(
                &manager, &Corvane::ResetUpdates::ResetUpdateManager::installFinished, &app,
                [&] {
                    ended = ok = true;
                },
                Qt::QueuedConnection);
            QObject::connect(
                &manager, &Corvane::ResetUpdates::ResetUpdateManager::error, &app,
                [&] {
                    ended = true;
                },
                Qt::QueuedConnection);
            dropCache(archive);
            QElapsedTimer timer;
            timer.start();
            manager.install(QStringLiteral("5.0.1.10"), false);
            (void)QTest::qWaitFor(
                [&] {
                    return ended;
                },
                3600 * 1000);
            report("install()", ok, timer.elapsed(), total, tarMs);
            QFile::remove(cached);
        }
    }
    return 0;
}
