#include "benchsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace Bench {

const QString Version = QStringLiteral("5.0.1.10");
const QString ImagePath = QStringLiteral("images/5.0.1.10/m1/a-b/image.tar.gz");
const QString Target = QStringLiteral("/home/.system-updates/images/a-b-5.0.1.10.tar.gz");

QString sandboxState(const char *benchmark)
{
    const QString state =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SANDBOX_STATE"));
    if (state.isEmpty())
        std::printf("%s: run me inside tools/device-sandbox/device-sandbox\n", benchmark);
    return state;
}

QString run(const QString &program, const QStringList &arguments, int *exitCode)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(-1);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

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

double threadsCpuMs(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (ids.isEmpty())
        return -1;
    double ns = 0;
    for (const QString &id : ids) {
        QFile schedstat(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            ns += schedstat.readAll().split(' ').first().toDouble();
    }
    return ns / 1e6;
}

qint64 childrenCpuMs()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

int openFds(qint64 pid)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    return fds.exists()
        ? int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size())
        : -1;
}

bool writeRandom(const QString &path, qint64 size, bool compressible)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    constexpr qint64 Block = 64 * 1024;
    QVector<quint32> block(Block / 4);
    for (qint64 left = size; left > 0;) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        if (compressible)
            std::fill(block.begin() + block.size() / 2, block.end(), 0);
        const qint64 amount = qMin(left, Block);
        if (file.write(reinterpret_cast<const char *>(block.constData()), amount) != amount)
            return false;
        left -= amount;
    }
    return file.flush();
}

bool writeImageArchive(const QString &archive, qint64 size)
{
    const QDir source(archive + QStringLiteral(".src"));
    source.mkpath(QStringLiteral("."));
    // As a release splits them: two root parts, home, boot.
    const QList<QPair<QString, qint64>> images {{QStringLiteral("root.img.000"), size * 4 / 10},
        {QStringLiteral("root.img.001"), size * 4 / 10},
        {QStringLiteral("home.img.000"), size * 15 / 100},
        {QStringLiteral("boot.img"), size - size * 4 / 10 * 2 - size * 15 / 100}};
    QStringList names;
    bool ok = true;
    for (const auto &image : images) {
        ok = ok && writeRandom(source.filePath(image.first), image.second, true);
        names.append(image.first);
    }
    int code = -1;
    if (ok)
        run(QStringLiteral("tar"),
            QStringList {QStringLiteral("-czf"), archive, QStringLiteral("-C"), source.path()} +
                names,
            &code);
    QDir(source).removeRecursively();
    return ok && code == 0;
}

QByteArray sha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
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

void settle()
{
    run(QStringLiteral("sync"), {});
    QThread::msleep(500);
}

double mbPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / 1e6 / (double(ms) / 1000.0) : 0;
}

double quantile(QVector<double> values, double q)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int index = qBound(0, int(std::ceil(q * values.size())) - 1, values.size() - 1);
    return values.at(index);
}

ReleaseServer::ReleaseServer(const QString &work)
    : m_work(work)
{
}

ReleaseServer::~ReleaseServer()
{
    if (!m_address.isEmpty())
        run(QStringLiteral(CORVANE_SOURCE_DIR "/tools/release-server/release-server"),
            {QStringLiteral("stop"), QStringLiteral("--state"),
                m_work + QStringLiteral("/server")});
}

bool ReleaseServer::serveRandom(qint64 size)
{
    if (!start()) {
        std::printf("release server did not start\n");
        return false;
    }
    std::printf("preparing %lld MiB of random data...\n", size / 1024 / 1024);
    std::fflush(stdout);
    if (!writeRandom(imageFile(), size)) {
        std::printf("cannot write %s\n", qPrintable(imageFile()));
        return false;
    }
    return true;
}

bool ReleaseServer::start()
{
    const QDir work(m_work);
    work.mkpath(QStringLiteral("root/images/5.0.1.10/m1/a-b"));
    work.mkpath(QStringLiteral("root/metav2"));
    work.mkpath(QStringLiteral("server"));
    QFile metadata(work.filePath(QStringLiteral("root/metav2/index.json")));
    if (!metadata.open(QIODevice::WriteOnly) ||
        metadata.write(R"({"devices": [{"device": "m1", "latestRelease": "5.0.1.10",
            "releases": [{"version": "5.0.1.10", "updateMethods": [{"method": "Reset"}]}]}]})") < 0)
        return false;
    metadata.close();

    m_address = run(QStringLiteral(CORVANE_SOURCE_DIR "/tools/release-server/release-server"),
        {QStringLiteral("start"), QStringLiteral("--root"), work.filePath(QStringLiteral("root")),
            QStringLiteral("--state"), work.filePath(QStringLiteral("server"))});
    if (m_address.isEmpty())
        return false;

    QDir().mkpath(QStringLiteral("/etc/ssu"));
    QFile ssu(QStringLiteral("/etc/ssu/ssu.ini"));
    if (!ssu.open(QIODevice::WriteOnly) ||
        ssu.write(QStringLiteral(
            "[General]\nrelease = 4.0.0\nmodel = m1\ndomain = test\nfeatures = a, b\n"
            "[domain-test]\nreleaseDomain = %1\n"
            "[credentials-default]\nusername = device\npassword = secret\n")
                      .arg(m_address)
                      .toUtf8()) < 0)
        return false;
    ssu.close();
    QDir().mkpath(QStringLiteral("/etc/zovoveva"));
    QFile policy(QStringLiteral("/etc/zovoveva/access-policy.conf"));
    return policy.open(QIODevice::WriteOnly) && policy.write("[OsUpdates]\nEnabled=true\n") > 0;
}

QString ReleaseServer::imageFile() const
{
    return m_work + QStringLiteral("/root/") + ImagePath;
}

QString ReleaseServer::imageUrl() const
{
    return QStringLiteral("https://%1/%2").arg(m_address, ImagePath);
}

bool holdLine(int mbPerSecond)
{
    int code = 0;
    run(QStringLiteral("tc"),
        {QStringLiteral("qdisc"), QStringLiteral("del"), QStringLiteral("dev"),
            QStringLiteral("lo"), QStringLiteral("root")},
        &code);
    if (mbPerSecond <= 0)
        return true;
    // tc counts a mbit as 10^6 bits. The burst of 256 KiB keeps the rate within a per cent of
    // the target for curl, whole file and ranged alike.
    run(QStringLiteral("tc"),
        {QStringLiteral("qdisc"), QStringLiteral("add"), QStringLiteral("dev"),
            QStringLiteral("lo"), QStringLiteral("root"), QStringLiteral("tbf"),
            QStringLiteral("rate"), QStringLiteral("%1mbit").arg(mbPerSecond * 8),
            QStringLiteral("burst"), QStringLiteral("256kb"), QStringLiteral("latency"),
            QStringLiteral("50ms")},
        &code);
    return code == 0;
}

Daemon::Daemon(const QString &log)
    : m_log(log)
{
}

Daemon::~Daemon()
{
    stop();
}

bool Daemon::start()
{
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_log);
    m_process.start(QStringLiteral(CORVANE_DAEMON), {QStringLiteral("--no-shutdown")});
    return m_process.waitForStarted() &&
        waitFor(
            [this] {
                return status() >= 0;
            },
            15000);
}

void Daemon::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

qint64 Daemon::pid() const
{
    return m_process.processId();
}

QString Daemon::call(const QString &method, const QStringList &arguments) const
{
    return run(QStringLiteral("gdbus"),
        QStringList {QStringLiteral("call"), QStringLiteral("--system"), QStringLiteral("--dest"),
            QStringLiteral("org.tessaro.Corvane"), QStringLiteral("--object-path"),
            QStringLiteral("/org/tessaro/Corvane"), QStringLiteral("--method"), method} +
            arguments);
}

QString Daemon::property(const QString &name) const
{
    return call(QStringLiteral("org.freedesktop.DBus.Properties.Get"),
        {QStringLiteral("org.tessaro.Corvane"), name});
}

int Daemon::status() const
{
    // gdbus prints "(<(0,)>,)".
    const QString text = property(QStringLiteral("status"));
    const int start = text.indexOf(QStringLiteral("<("));
    if (start < 0)
        return -1;
    bool ok = false;
    const int value =
        text.mid(start + 2, text.indexOf(QLatin1Char(','), start) - start - 2).trimmed().toInt(&ok);
    return ok ? value : -1;
}

bool Daemon::check(qint64 size, int timeoutMs)
{
    call(QStringLiteral("org.tessaro.Corvane.Check"),
        {QStringLiteral("latest"), QStringLiteral("true")});
    return waitFor(
        [&] {
            return property(QStringLiteral("size")).contains(QString::number(size)) &&
                status() == 0;
        },
        timeoutMs);
}

bool Daemon::download(qint64 size, int timeoutMs)
{
    peakRssKiB = statusKiB(pid(), "VmRSS:");
    const qint64 cpuBefore = cpuMs(pid());
    QElapsedTimer timer;
    timer.start();
    call(QStringLiteral("org.tessaro.Corvane.Download"));
    // Only cheap polls while the transfer runs: a gdbus per poll would cost CPU beside it.
    const bool complete = waitFor(
        [&] {
            peakRssKiB = qMax(peakRssKiB, statusKiB(pid(), "VmRSS:"));
            return QFileInfo(Target).size() >= size;
        },
        timeoutMs);
    downloadMs = timer.elapsed();
    downloadCpuMs = cpuMs(pid()) - cpuBefore;
    return complete &&
        waitFor(
            [&] {
                return status() == 0;
            },
            10000);
}

} // namespace Bench
