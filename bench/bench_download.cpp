// Downloads an image (1 GiB by default) through the real daemon (Check, then Download over the
// bus) from the nginx release server, and the same file with curl, and prints for both the
// throughput and the CPU time per GiB, and the daemon's memory while it downloads. With --lines
// it does so on each of the given lines: 0 is the plain loopback, a number holds the loopback
// to that many MB/s for every connection. Run it on the simulated device:
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       --session-services BUILD/dbus/session-services -- BUILD/bench/corvane-bench-download
//       [--lines 0,50] [MiB [rounds]]
//
// Prints figures only; it never fails.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cstdio>

using namespace Bench;

namespace {

struct Transfer
{
    qint64 ms = 0;
    qint64 cpuMs = 0;
    bool ok = false;
    qint64 idleRss = 0; // the daemon's figures, in KiB
    qint64 peakRss = 0;
    qint64 hwm = 0;
};

Transfer timeCurl(const QString &url, const QString &target, qint64 total)
{
    QFile::remove(target);
    settle();
    Transfer result;
    QElapsedTimer timer;
    timer.start();
    const qint64 childrenBefore = childrenCpuMs();
    int code = 0;
    run(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), target, url}, &code);
    result.ms = timer.elapsed();
    result.cpuMs = childrenCpuMs() - childrenBefore;
    result.ok = code == 0 && QFileInfo(target).size() == total;
    QFile::remove(target);
    return result;
}

Transfer timeDaemon(const QString &log, qint64 total)
{
    QFile::remove(Target);
    QFile::remove(QStringLiteral("/home/.system-updates/os-info.json"));
    Daemon daemon(log);
    Transfer result;
    const bool prepared = daemon.start() && daemon.check(total);
    settle();
    result.idleRss = statusKiB(daemon.pid(), "VmRSS:");
    result.ok = prepared && daemon.download(total);
    result.ms = daemon.downloadMs;
    result.cpuMs = daemon.downloadCpuMs;
    result.peakRss = daemon.peakRssKiB;
    result.hwm = statusKiB(daemon.pid(), "VmHWM:");
    daemon.stop();
    QFile::remove(Target);
    return result;
}

double cpuPerGiB(qint64 cpuMs, qint64 bytes)
{
    return bytes > 0 ? cpuMs / 1000.0 * (1024.0 * 1024 * 1024) / double(bytes) : 0;
}

struct LineFigures
{
    QVector<double> ratios; // curl's time over the daemon's
    QVector<double> curlMBps, daemonMBps, curlCpu, daemonCpu; // CPU in s per GiB
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString state = sandboxState("bench-download");
    if (state.isEmpty())
        return 0;
    QStringList arguments = app.arguments().mid(1);
    QVector<int> lines {0};
    const int linesAt = arguments.indexOf(QStringLiteral("--lines"));
    if (linesAt >= 0 && linesAt + 1 < arguments.size()) {
        lines.clear();
        for (const QString &line : arguments.at(linesAt + 1).split(QLatin1Char(',')))
            lines.append(line.toInt());
        arguments.erase(arguments.begin() + linesAt, arguments.begin() + linesAt + 2);
    }
    const qint64 total = (arguments.size() > 0 ? arguments.at(0).toLongLong() : 1024) * 1024 * 1024;
    const int rounds = arguments.size() > 1 ? qMax(1, arguments.at(1).toInt()) : 3;

    // Server root and curl's target on the device's disk, not in its memory.
    const QString work = state + QStringLiteral("/bench-download");
    ReleaseServer server(work);
    if (!server.serveRandom(total))
        return 0;

    // Rounds alternate which transfer goes first, so neither always meets the other's leftovers.
    QMap<int, LineFigures> figures;
    for (int round = 1; round <= rounds; ++round) {
        for (const int line : lines) {
            if (!holdLine(line)) {
                std::printf("cannot hold the loopback to %d MB/s (tc)\n", line);
                return 0;
            }
            const QString curlTarget = work + QStringLiteral("/curl.out");
            const QString log = work + QStringLiteral("/daemon.log");
            Transfer curl;
            Transfer daemon;
            if (round % 2) {
                curl = timeCurl(server.imageUrl(), curlTarget, total);
                daemon = timeDaemon(log, total);
            } else {
                daemon = timeDaemon(log, total);
                curl = timeCurl(server.imageUrl(), curlTarget, total);
            }
            const double ratio = daemon.ms > 0 ? double(curl.ms) / double(daemon.ms) : 0.0;
            if (curl.ok && daemon.ok) {
                LineFigures &f = figures[line];
                f.ratios.append(ratio);
                f.curlMBps.append(mbPerSecond(total, curl.ms));
                f.daemonMBps.append(mbPerSecond(total, daemon.ms));
                f.curlCpu.append(cpuPerGiB(curl.cpuMs, total));
                f.daemonCpu.append(cpuPerGiB(daemon.cpuMs, total));
            }

            const QByteArray where =
                line > 0 ? QByteArray::number(line) + " MB/s line" : QByteArray("plain loopback");
            std::printf("round %d (%lld MiB over HTTPS, %s)\n", round, total / 1024 / 1024,
                where.constData());
            std::printf("  curl -o       %7.2f s  %7.1f MB/s  cpu %.2f s (%.2f s/GiB)%s\n",
                curl.ms / 1000.0, mbPerSecond(total, curl.ms), curl.cpuMs / 1000.0,
                cpuPerGiB(curl.cpuMs, total), curl.ok ? "" : "  (failed)");
            std::printf("  daemon        %7.2f s  %7.1f MB/s  cpu %.2f s (%.2f s/GiB)%s   ratio to "
                        "curl %.2f\n",
                daemon.ms / 1000.0, mbPerSecond(total, daemon.ms), daemon.cpuMs / 1000.0,
                cpuPerGiB(daemon.cpuMs, total), daemon.ok ? "" : "  (did not finish)", ratio);
            std::printf("  daemon RSS    idle %lld KiB, peak while downloading %lld KiB (+%lld "
                        "KiB, goal <= +16384), lifetime peak %lld KiB\n",
                daemon.idleRss, daemon.peakRss, daemon.peakRss - daemon.idleRss, daemon.hwm);
            std::fflush(stdout);
        }
    }
    holdLine(0);

    std::printf("medians over the good rounds\n");
    for (auto it = figures.constBegin(); it != figures.constEnd(); ++it) {
        const LineFigures &f = it.value();
        const double curlCpu = quantile(f.curlCpu, 0.5);
        const double daemonCpu = quantile(f.daemonCpu, 0.5);
        std::printf("  %-15s %d rounds: curl %.1f MB/s %.2f cpu-s/GiB, daemon %.1f MB/s %.2f "
                    "cpu-s/GiB; time ratio to curl %.3f, cpu ratio to curl %.2f\n",
            it.key() > 0 ? qPrintable(QStringLiteral("%1 MB/s line").arg(it.key()))
                         : "plain loopback",
            int(f.ratios.size()), quantile(f.curlMBps, 0.5), curlCpu, quantile(f.daemonMBps, 0.5),
            daemonCpu, quantile(f.ratios, 0.5), curlCpu > 0 ? daemonCpu / curlCpu : 0.0);
    }
    std::fflush(stdout);

    QFile::remove(Target);
    QDir(work + QStringLiteral("/root")).removeRecursively();
    return 0;
}
