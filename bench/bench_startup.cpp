// Cold start: the time from starting the daemon's executable to its name being owned on the
// system bus, against a minimal QtDBus service (corvane-bench-minimal-service). Each round starts
// both, alternating which goes first; the daemon starts on a fresh device (no cache file) and
// again after a check (with one). Run it on the simulated device:
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       --session-services BUILD/dbus/session-services -- BUILD/bench/corvane-bench-startup
//       [rounds]
//
// Times run from QProcess::start (fork and exec included) to the bus's NameOwnerChanged as this
// process receives it; both programs pay the same for that. Prints figures only; never fails.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>

using namespace Bench;

namespace {

const QString MinimalName = QStringLiteral("org.tessaro.CorvaneBench.Minimal");

struct Start
{
    double ms = -1; // -1: the name did not appear
    double cpuMs = -1; // the program's CPU time when its name appeared
    qint64 rssKiB = -1;
};

// Starts the program, waits for the name, then stops the program and waits until the name has
// gone again.
Start timeStart(const QString &program, const QStringList &arguments, const QString &name)
{
    QDBusServiceWatcher watcher(name, QDBusConnection::systemBus(),
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    Start result;
    QEventLoop loop;
    QElapsedTimer timer;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, [&] {
        result.ms = timer.nsecsElapsed() / 1e6;
        result.cpuMs = threadsCpuMs(process.processId());
        result.rssKiB = statusKiB(process.processId(), "VmRSS:");
        loop.quit();
    });
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, &loop, &QEventLoop::quit);
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    timer.start();
    process.start(program, arguments);
    loop.exec();

    process.terminate();
    if (result.ms >= 0) {
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
    }
    return result;
}

void report(const char *name, const QVector<double> &ms, const QVector<double> &cpu,
    const QVector<double> &rss, double yardstick)
{
    std::printf("  %-34s median %6.1f ms  min %6.1f  max %6.1f  cpu %5.1f ms  RSS %6.0f KiB", name,
        quantile(ms, 0.5), quantile(ms, 0), quantile(ms, 1), quantile(cpu, 0.5),
        quantile(rss, 0.5));
    if (yardstick > 0)
        std::printf("  ratio %.2f (goal <= 1.5)", quantile(ms, 0.5) / yardstick);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString state = sandboxState("bench-startup");
    if (state.isEmpty())
        return 0;
    const int rounds = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 20;

    ReleaseServer server(state + QStringLiteral("/bench-startup"));
    if (!server.serveRandom(1024 * 1024))
        return 0;
    const QString minimal = QStringLiteral(CORVANE_MINIMAL_SERVICE);
    const QString daemon = QStringLiteral(CORVANE_DAEMON);
    const QString daemonName = QStringLiteral("org.tessaro.Corvane");
    const QString cache = QStringLiteral("/home/.system-updates/os-info.json");

    // The first start of each reads its files from the disk; the figures are for warm starts.
    timeStart(minimal, {}, MinimalName);
    QFile::remove(cache);
    timeStart(daemon, {}, daemonName);

    QVector<double> minimalMs, minimalCpu, minimalRss;
    QVector<double> freshMs, freshCpu, freshRss;
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(cache);
        const bool daemonFirst = round % 2;
        const Start first =
            daemonFirst ? timeStart(daemon, {}, daemonName) : timeStart(minimal, {}, MinimalName);
        const Start second =
            daemonFirst ? timeStart(minimal, {}, MinimalName) : timeStart(daemon, {}, daemonName);
        const Start &d = daemonFirst ? first : second;
        const Start &m = daemonFirst ? second : first;
        if (d.ms >= 0 && m.ms >= 0) {
            freshMs.append(d.ms), freshCpu.append(d.cpuMs), freshRss.append(d.rssKiB);
            minimalMs.append(m.ms), minimalCpu.append(m.cpuMs), minimalRss.append(m.rssKiB);
        }
    }

    // A device that has checked: the daemon restores its cache file at start.
    QVector<double> cachedMs, cachedCpu, cachedRss;
    {
        Daemon checker(state + QStringLiteral("/bench-startup/daemon.log"));
        if (!checker.start() || !checker.check(1024 * 1024))
            std::printf("the check failed; the figures after a check are for a fresh device\n");
    }
    for (int round = 0; round < rounds; ++round) {
        const Start d = timeStart(daemon, {}, daemonName);
        if (d.ms >= 0)
            cachedMs.append(d.ms), cachedCpu.append(d.cpuMs), cachedRss.append(d.rssKiB);
    }

    std::printf("cold start to the name on the system bus, %d rounds (page cache warm)\n",
        int(minimalMs.size()));
    const double yardstick = quantile(minimalMs, 0.5);
    report("minimal QtDBus service", minimalMs, minimalCpu, minimalRss, 0);
    report("daemon, fresh device", freshMs, freshCpu, freshRss, yardstick);
    report("daemon, with a cache file", cachedMs, cachedCpu, cachedRss, yardstick);
    std::fflush(stdout);
    QFile::remove(cache);
    return 0;
}
