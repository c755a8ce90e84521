#pragma once

// What the benchmarks that run the daemon on the simulated device share: processes, /proc
// figures, test data, the release server and the daemon as a client sees it.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

namespace Bench {

extern const QString Version;
extern const QString ImagePath; // under the release server's root
extern const QString Target; // where the daemon keeps the downloaded image

// Runs a program to its end and returns its trimmed standard output.
// The simulated device's state directory, or an empty string after telling the user to run
// the benchmark there.
QString sandboxState(const char *benchmark);

QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr);

// A field of /proc/PID/status in KiB, -1 when unreadable.
qint64 statusKiB(qint64 pid, const char *field);
// User plus system CPU time of a process in ms, -1 when unreadable.
qint64 cpuMs(qint64 pid);
// CPU time of all threads of a process in ms, to the scheduler's nanosecond, -1 when unreadable.
double threadsCpuMs(qint64 pid);
// CPU time of the waited-for children of this process in ms.
qint64 childrenCpuMs();
// Entries of /proc/PID/fd, -1 when unreadable.
int openFds(qint64 pid);

// Random data; with compressible, every other 32 KiB are zeros (about 2:1 with gzip).
[[nodiscard]] bool writeRandom(const QString &path, qint64 size, bool compressible = false);
// An image archive (.tar.gz) as a release packs it, of the given unpacked size.
[[nodiscard]] bool writeImageArchive(const QString &archive, qint64 size);
QByteArray sha256(const QString &path);

// Polls every 20 ms; false when the time ran out.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);
// Writes dirty pages back, so that they are not written during the next measurement.
void settle();

double mbPerSecond(qint64 bytes, qint64 ms);
// The q-quantile (0..1) of the values, 0 when there are none.
double quantile(QVector<double> values, double q);

// The project's nginx release server on the device's loopback, serving one release (5.0.1.10
// for model m1, reset method) with the given file as its image, and the device configured to
// ask it. Only one at a time; work is a directory on the device's disk.
class ReleaseServer
{
public:
    explicit ReleaseServer(const QString &work);
    ~ReleaseServer();
    // Starts nginx; the image is then at imageFile() (fill it before a download).
    bool start();
    // Starts nginx and serves size bytes of random data as the image; says what failed.
    bool serveRandom(qint64 size);
    QString imageFile() const;
    QString imageUrl() const;

private:
    QString m_work;
    QString m_address;
};

// Holds the device's loopback to a rate (token bucket, as a real line would), or frees it with
// 0. Both curl and the daemon see the same line: every connection and every ranged request.
bool holdLine(int mbPerSecond);

// The daemon process, started directly (as bus activation would), its log going to a file as
// to the journal. Calls go through gdbus as a root client.
class Daemon
{
public:
    explicit Daemon(const QString &log);
    ~Daemon();
    // Starts it and waits until it answers on the bus.
    bool start();
    void stop();
    qint64 pid() const;
    QString call(const QString &method, const QStringList &arguments = {}) const;
    QString property(const QString &name) const;
    int status() const; // -1 when unknown
    // Check, then wait until the reset update's size is known and the daemon is idle.
    bool check(qint64 size, int timeoutMs = 30000);
    // Download, then wait until the image has its full size and the daemon is idle. Meanwhile
    // it samples the resident memory; the time and the daemon's CPU time end when the file is
    // complete.
    bool download(qint64 size, int timeoutMs = 600000);
    qint64 peakRssKiB = 0;
    qint64 downloadMs = 0;
    qint64 downloadCpuMs = 0;

private:
    QProcess m_process;
    QString m_log;
};

} // namespace Bench
