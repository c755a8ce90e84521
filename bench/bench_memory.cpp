// The daemon's resident memory through a reset update: idle after start, after a check, while
// it downloads the image, and at the peak of its installation (the archive unpacked onto a
// loop-mounted ext4 file system, as on a device). Run it on the simulated device:
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       --session-services BUILD/dbus/session-services -- BUILD/bench/corvane-bench-memory [MiB]
//
// MiB is the unpacked size of the image (256 by default). Prints figures only; never fails.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

using namespace Bench;

namespace {

struct Memory
{
    qint64 rss = -1; // KiB
    qint64 anon = -1;
    qint64 hwm = -1;
    int threads = -1;
};

Memory memory(qint64 pid)
{
    return {statusKiB(pid, "VmRSS:"), statusKiB(pid, "RssAnon:"), statusKiB(pid, "VmHWM:"),
        int(statusKiB(pid, "Threads:"))};
}

void report(const char *when, const Memory &m)
{
    std::printf("  %-40s RSS %7lld KiB  anonymous %7lld KiB  peak so far %7lld KiB  threads %d\n",
        when, m.rss, m.anon, m.hwm, m.threads);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString state = sandboxState("bench-memory");
    if (state.isEmpty())
        return 0;
    const qint64 mib = argc > 1 ? qMax(1LL, QByteArray(argv[1]).toLongLong()) : 256;

    const QString work = state + QStringLiteral("/bench-memory");
    ReleaseServer server(work);
    std::printf("making an image archive of %lld MiB unpacked...\n", mib);
    std::fflush(stdout);
    if (!server.start() || !writeImageArchive(server.imageFile(), mib * 1024 * 1024)) {
        std::printf("cannot serve an image archive\n");
        return 0;
    }
    const qint64 archiveSize = QFileInfo(server.imageFile()).size();

    // The system partition: a fresh ext4 file system on a loop device.
    const QString fsImage = work + QStringLiteral("/super.img");
    QFile fs(fsImage);
    if (!fs.open(QIODevice::WriteOnly) || !fs.resize((mib * 2 + 256) * 1024 * 1024)) {
        std::printf("cannot make the file system image\n");
        return 0;
    }
    fs.close();
    int code = 0;
    run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), fsImage}, &code);
    const QString device = run(QStringLiteral("losetup"),
        {QStringLiteral("--find"), QStringLiteral("--show"), fsImage}, &code);
    if (code != 0 || device.isEmpty()) {
        std::printf("cannot attach a loop device\n");
        return 0;
    }
    QFile::remove(QStringLiteral("/dev/disk/by-partlabel/super"));
    QFile::link(device, QStringLiteral("/dev/disk/by-partlabel/super"));

    QFile::remove(Target);
    QFile::remove(QStringLiteral("/home/.system-updates/os-info.json"));
    Daemon daemon(work + QStringLiteral("/daemon.log"));
    bool ok = daemon.start();
    settle();
    const Memory idle = memory(daemon.pid());
    ok = ok && daemon.check(archiveSize);
    settle();
    const Memory checked = memory(daemon.pid());
    ok = ok && daemon.download(archiveSize);
    const qint64 downloadPeak = daemon.peakRssKiB;
    settle();
    const Memory downloaded = memory(daemon.pid());

    // Sampled every 20 ms through the installation, which ends with the status back to idle.
    qint64 installPeak = downloaded.rss;
    const QString marker = QStringLiteral("/usr/share/lipstick/devicelock/.clear-device");
    QFile::remove(marker);
    daemon.call(QStringLiteral("org.tessaro.Corvane.Install"), {QStringLiteral("false")});
    const bool installed = waitFor(
        [&] {
            installPeak = qMax(installPeak, statusKiB(daemon.pid(), "VmRSS:"));
            return QFileInfo::exists(marker) && daemon.status() == 0;
        },
        1800000);
    settle();
    const Memory after = memory(daemon.pid());

    std::printf("daemon's memory through a reset update (%lld MiB image, %lld MiB archive)%s\n",
        mib, archiveSize / 1024 / 1024, ok && installed ? "" : "  (a step FAILED, see the log)");
    report("idle after start", idle);
    report("after a check", checked);
    std::printf("  %-40s RSS %7lld KiB (sampled peak)\n", "while downloading", downloadPeak);
    report("after the download", downloaded);
    std::printf("  %-40s RSS %7lld KiB (sampled peak)\n", "while installing", installPeak);
    report("after the installation", after);
    std::fflush(stdout);

    daemon.stop();
    ::sync();
    run(QStringLiteral("umount"), {QStringLiteral("/fimage")});
    run(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
    QFile::remove(QStringLiteral("/dev/disk/by-partlabel/super"));
    QFile::remove(marker);
    QFile::remove(marker + QStringLiteral("-enable-reboot"));
    QFile::remove(Target);
    QFile::remove(fsImage);
    QDir(work + QStringLiteral("/root")).removeRecursively();
    return 0;
}
