// Downloads a 1 GiB image through the real daemon (Check, then Download over the bus) from the
// nginx release server, and the same file with curl, and prints the throughput of both and the
// daemon's memory while it downloads. Run it on the simulated device:
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       --session-services BUILD/dbus/session-services -- BUILD/bench/corvane-bench-download [MiB
//       [rounds]]
//
// Prints figures only; it never fails.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString Version = QStringLiteral("5.0.1.10");
const QString ImagePath = QStringLiteral("images/5.0.1.10/m1/a-b/image.tar.gz");
const QString Target = QStringLiteral("/home/.system-updates/images/a-b-5.0.1.10.tar.gz");

QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(600000);
    if (exitCode)
        *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString daemonCall(const QString &method, const QStringList &arguments = {})
{
    return run(QStringLiteral("gdbus"),
        QStringList {QStringLiteral("call"), QStringLiteral("--system"), QStringLiteral("--dest"),
            QStringLiteral("org.tessaro.Corvane"), QStringLiteral("--object-path"),
            QStringLiteral("/org/tessaro/Corvane"), QStringLiteral("--method"),
            QStringLiteral("org.tessaro.Corvane.") + method} +
            arguments);
}

QString property(const QString &name)
{
    return run(QStringLiteral("gdbus"),
        {QStringLiteral("call"), QStringLiteral("--system"), QStringLiteral("--dest"),
            QStringLiteral("org.tessaro.Corvane"), QStringLiteral("--object-path"),
            QStringLiteral("/org/tessaro/Corvane"), QStringLiteral("--method"),
            QStringLiteral("org.freedesktop.DBus.Properties.Get"),
            QStringLiteral("org.tessaro.Corvane"), name});
}

// A field of /proc/PID/status in KiB, -1 when unreadable.
qint64 statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return -1;
}

// User and system CPU time of a process in ms, -1 when unreadable.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

qint64 childrenCpuMs()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

bool writeRandom(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QVector<quint32> block(1024 * 1024 / 4);
    for (qint64 left = size; left > 0;) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        const qint64 amount = qMin<qint64>(left, 1024 * 1024);
        if (file.write(reinterpret_cast<const char *>(block.constData()), amount) != amount)
            return false;
        left -= amount;
    }
    return true;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

double mbPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / 1e6 / (double(ms) / 1000.0) : 0;
}

struct Transfer
{
    qint64 ms = 0;
    qint64 cpuMs = 0;
    bool ok = false;
    qint64 idleRss = 0; // the daemon's figures, in KiB
    qint64 peakRss = 0;
    qint64 hwm = 0;
};

// Dirty pages of the previous transfer must not be written back during the next one.
void settle()
{
    run(QStringLiteral("sync"), {});
    QThread::msleep(500);
}

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

// The daemon: Check, then Download over the bus, its log going to a file as to the journal.
Transfer timeDaemon(const QString &log, qint64 total)
{
    QFile::remove(Target);
    QFile::remove(QStringLiteral("/home/.system-updates/os-info.json"));
    QProcess daemon;
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(log);
    daemon.start(QStringLiteral(CORVANE_DAEMON), {QStringLiteral("--no-shutdown")});
    daemon.waitForStarted();
    waitFor(
        [] {
            return !daemonCall(QStringLiteral("CancelDownload")).isEmpty();
        },
        15000);
    daemonCall(QStringLiteral("Check"), {QStringLiteral("latest"), QStringLiteral("true")});
    const bool prepared = waitFor(
        [&] {
            return property(QStringLiteral("size")).contains(QString::number(total)) &&
                property(QStringLiteral("status")).contains(QStringLiteral("(0,)"));
        },
        30000);
    settle();
    const qint64 pid = daemon.processId();
    Transfer result;
    result.idleRss = statusKiB(pid, "VmRSS:");
    result.peakRss = result.idleRss;
    const qint64 cpuBefore = cpuMs(pid);
    QElapsedTimer timer;
    timer.start();
    daemonCall(QStringLiteral("Download"));
    result.ok = prepared &&
        waitFor(
            [&] {
                result.peakRss = qMax(result.peakRss, statusKiB(pid, "VmRSS:"));
                return QFileInfo(Target).size() >= total;
            },
            600000);
    result.ms = timer.elapsed();
    result.cpuMs = cpuMs(pid) - cpuBefore;
    result.hwm = statusKiB(pid, "VmHWM:");
    daemon.terminate();
    daemon.waitForFinished(10000);
    QFile::remove(Target);
    return result;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString state =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SANDBOX_STATE"));
    if (state.isEmpty()) {
        std::printf("bench-download: run me inside tools/device-sandbox/device-sandbox\n");
        return 0;
    }
    const qint64 total = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024) * 1024 * 1024;
    const int rounds = argc > 2 ? qMax(1, QByteArray(argv[2]).toInt()) : 3;

    // Server root and curl's target on the device's disk, not in its memory.
    const QDir work(state + QStringLiteral("/bench-download"));
    work.mkpath(QStringLiteral("root/images/5.0.1.10/m1/a-b"));
    work.mkpath(QStringLiteral("root/metav2"));
    work.mkpath(QStringLiteral("server"));
    const QString served = work.filePath(QStringLiteral("root/") + ImagePath);
    std::printf("preparing %lld MiB of random data...\n", total / 1024 / 1024);
    std::fflush(stdout);
    if (!writeRandom(served, total)) {
        std::printf("cannot write %s\n", qPrintable(served));
        return 0;
    }
    QFile metadata(work.filePath(QStringLiteral("root/metav2/index.json")));
    if (metadata.open(QIODevice::WriteOnly))
        metadata.write(R"({"devices": [{"device": "m1", "latestRelease": "5.0.1.10",
            "releases": [{"version": "5.0.1.10", "updateMethods": [{"method": "Reset"}]}]}]})");
    metadata.close();

    const QString server =
        QStringLiteral(CORVANE_SOURCE_DIR "/tools/release-server/release-server");
    const QString address = run(server,
        {QStringLiteral("start"), QStringLiteral("--root"), work.filePath(QStringLiteral("root")),
            QStringLiteral("--state"), work.filePath(QStringLiteral("server"))});
    if (address.isEmpty()) {
        std::printf("release server did not start\n");
        return 0;
    }
    QDir().mkpath(QStringLiteral("/etc/ssu"));
    QFile ssu(QStringLiteral("/etc/ssu/ssu.ini"));
    if (ssu.open(QIODevice::WriteOnly))
        ssu.write(QStringLiteral(
            "[General]\nrelease = 4.0.0\nmodel = m1\ndomain = test\nfeatures = a, b\n"
            "[domain-test]\nreleaseDomain = %1\n"
            "[credentials-default]\nusername = device\npassword = secret\n")
                      .arg(address)
                      .toUtf8());
    ssu.close();
    QDir().mkpath(QStringLiteral("/etc/zovoveva"));
    QFile policy(QStringLiteral("/etc/zovoveva/access-policy.conf"));
    if (policy.open(QIODevice::WriteOnly))
        policy.write("[OsUpdates]\nEnabled=true\n");
    policy.close();
    const QString url = QStringLiteral("https://%1/%2").arg(address, ImagePath);

    // Rounds alternate which transfer goes first, so neither always meets the other's leftovers.
    QVector<double> ratios;
    for (int round = 1; round <= rounds; ++round) {
        const QString curlTarget = work.filePath(QStringLiteral("curl.out"));
        const QString log = work.filePath(QStringLiteral("daemon.log"));
        Transfer curl;
        Transfer daemon;
        if (round % 2) {
            curl = timeCurl(url, curlTarget, total);
            daemon = timeDaemon(log, total);
        } else {
            daemon = timeDaemon(log, total);
            curl = timeCurl(url, curlTarget, total);
        }
        const double ratio = daemon.ms > 0 ? double(curl.ms) / double(daemon.ms) : 0.0;
        if (curl.ok && daemon.ok)
            ratios.append(ratio);

        std::printf("round %d (%lld MiB over HTTPS on loopback)\n", round, total / 1024 / 1024);
        std::printf("  curl -o       %7.2f s  %7.1f MB/s  cpu %.2f s%s\n", curl.ms / 1000.0,
            mbPerSecond(total, curl.ms), curl.cpuMs / 1000.0, curl.ok ? "" : "  (failed)");
        std::printf("  daemon        %7.2f s  %7.1f MB/s  cpu %.2f s%s   ratio to curl %.2f\n",
            daemon.ms / 1000.0, mbPerSecond(total, daemon.ms), daemon.cpuMs / 1000.0,
            daemon.ok ? "" : "  (did not finish)", ratio);
        std::printf(
            "  daemon RSS    idle %lld KiB, peak while downloading %lld KiB (+%lld KiB, goal <= "
            "+16384), lifetime peak %lld KiB\n",
            daemon.idleRss, daemon.peakRss, daemon.peakRss - daemon.idleRss, daemon.hwm);
        std::fflush(stdout);
    }
    std::printf("median ratio to curl over %lld good rounds: %.2f (goal >= 0.90)\n",
        qint64(ratios.size()), median(ratios));

    QFile::remove(Target);
    run(server,
        {QStringLiteral("stop"), QStringLiteral("--state"),
            work.filePath(QStringLiteral("server"))});
    QDir(work).removeRecursively();
    return 0;
}
