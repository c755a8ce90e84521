// A call storm: while the daemon downloads a reset image, eight clients of four identities call
// it 1000 times each as fast as they can, mixing property reads, GetAll, and method calls that
// it must refuse: AccessDenied for the unprivileged (bob, carol), "busy" for root and alice.
// Prints the call latencies, the daemon's memory and open descriptors before and after, and
// whether the downloaded image is byte-identical to the served one. Run it on the simulated
// device:
//
//   tools/device-sandbox/device-sandbox --bind BUILD --system-services BUILD/dbus/system-services
//       --session-services BUILD/dbus/session-services -- BUILD/bench/corvane-bench-callstorm
//       [MiB [calls [line-MB/s]]]
//
// The download runs on a line held at 50 MB/s by default (0: plain loopback), so that it lasts
// through the storm. Prints figures only; it never fails.

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QVector>

#include <cstdio>
#include <memory>

using namespace Bench;

namespace {

const QString Service = QStringLiteral("org.tessaro.Corvane");
const QString Path = QStringLiteral("/org/tessaro/Corvane");
const QString Interface = QStringLiteral("org.tessaro.Corvane");
const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");

// The kinds of call a client makes, in this order, over and over.
enum Kind { Get, GetAll, Method };
struct Call
{
    Kind kind;
    QDBusMessage message;
};

QVector<Call> callCycle()
{
    auto get = [](const char *name) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(Service, Path, Properties, QStringLiteral("Get"));
        message << Interface << QString::fromLatin1(name);
        return Call {Get, message};
    };
    auto method = [](const char *name, const QVariantList &arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(Service, Path, Interface, QString::fromLatin1(name));
        message.setArguments(arguments);
        return Call {Method, message};
    };
    QDBusMessage getAll =
        QDBusMessage::createMethodCall(Service, Path, Properties, QStringLiteral("GetAll"));
    getAll << Interface;
    QDBusArgument reset;
    reset.beginStructure();
    reset << 2;
    reset.endStructure();
    return {get("status"), method("Check", {QStringLiteral("latest"), true}), get("downloadedSize"),
        Call {GetAll, getAll}, method("Download", {}), get("size"),
        method("SetMethod", {QVariant::fromValue(reset)}), get("isDownloaded"),
        method("Install", {false}), Call {GetAll, getAll},
        method("DownloadVendorData", {QStringLiteral("https://127.0.0.1/vd")})};
}

// A client: waits for "go" on stdin, makes the calls on its own connection, and prints one line
// per call: kind, outcome (ok, denied, other) and latency in microseconds.
int client(int calls)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    const QVector<Call> cycle = callCycle();
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof line, stdin))
        return 1;
    QVector<QByteArray> results;
    results.reserve(calls);
    QElapsedTimer timer;
    for (int i = 0; i < calls; ++i) {
        const Call &call = cycle.at(i % cycle.size());
        timer.start();
        const QDBusMessage reply = bus.call(call.message, QDBus::Block, 30000);
        const qint64 us = timer.nsecsElapsed() / 1000;
        const char *outcome = reply.type() == QDBusMessage::ReplyMessage ? "ok"
            : reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")
            ? "denied"
            : "other";
        results.append(
            QByteArray::number(int(call.kind)) + ' ' + outcome + ' ' + QByteArray::number(us));
    }
    for (const QByteArray &result : results)
        std::printf("%s\n", result.constData());
    return 0;
}

// Counts the daemon's Error signals by code, to show that the privileged calls were refused as
// busy and nothing else.
class ErrorCounter : public QObject
{
    Q_OBJECT
public:
    QMap<int, int> codes;

public slots:
    void onError(const QDBusMessage &message)
    {
        int code = -1;
        if (!message.arguments().isEmpty()) {
            const QDBusArgument argument = message.arguments().constFirst().value<QDBusArgument>();
            argument.beginStructure();
            argument >> code;
            argument.endStructure();
        }
        ++codes[code];
    }
};

struct Identity
{
    const char *name;
    QStringList setpriv; // empty for root
};

struct Snapshot
{
    qint64 rssKiB;
    int fds;
    int status;
};

Snapshot snapshot(const Daemon &daemon)
{
    return {statusKiB(daemon.pid(), "VmRSS:"), openFds(daemon.pid()), daemon.status()};
}

void printSnapshot(const char *when, const Snapshot &s)
{
    std::printf("  %-44s RSS %6lld KiB  fds %3d  status %d\n", when, s.rssKiB, s.fds, s.status);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--client")
        return client(QByteArray(argv[2]).toInt());

    const QString state = sandboxState("bench-callstorm");
    if (state.isEmpty())
        return 0;
    const qint64 total = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024) * 1024 * 1024;
    const int calls = argc > 2 ? qMax(1, QByteArray(argv[2]).toInt()) : 1000;
    const int line = argc > 3 ? QByteArray(argv[3]).toInt() : 50;

    const QString work = state + QStringLiteral("/bench-callstorm");
    ReleaseServer server(work);
    if (!server.serveRandom(total))
        return 0;
    if (!holdLine(line)) {
        std::printf("cannot hold the line\n");
        return 0;
    }
    const QByteArray served = sha256(server.imageFile());

    QFile::remove(Target);
    Daemon daemon(work + QStringLiteral("/daemon.log"));
    if (!daemon.start() || !daemon.check(total)) {
        std::printf("the daemon did not start or check\n");
        return 0;
    }
    settle();
    const Snapshot idle = snapshot(daemon);
    daemon.call(QStringLiteral("org.tessaro.Corvane.Download"));
    waitFor(
        [&] {
            return QFileInfo::exists(Target) && QFileInfo(Target).size() > 0;
        },
        30000);
    const Snapshot before = snapshot(daemon);
    ErrorCounter errors;
    QDBusConnection::systemBus().connect(
        Service, Path, Interface, QStringLiteral("Error"), &errors, SLOT(onError(QDBusMessage)));

    const QList<Identity> identities {{"root", {}},
        {"alice", {QStringLiteral("--reuid=alice"), QStringLiteral("--regid=privileged")}},
        {"bob", {QStringLiteral("--reuid=bob"), QStringLiteral("--regid=privileged")}},
        {"carol", {QStringLiteral("--reuid=carol"), QStringLiteral("--regid=users")}}};
    std::vector<std::unique_ptr<QProcess>> clients;
    QStringList names;
    for (int copy = 0; copy < 2; ++copy) {
        for (const Identity &identity : identities) {
            auto process = std::make_unique<QProcess>();
            const QStringList own {QStringLiteral("--client"), QString::number(calls)};
            if (identity.setpriv.isEmpty())
                process->start(app.applicationFilePath(), own);
            else
                process->start(QStringLiteral("setpriv"),
                    identity.setpriv +
                        QStringList {QStringLiteral("--init-groups"), app.applicationFilePath()} +
                        own);
            names.append(QString::fromLatin1(identity.name));
            clients.push_back(std::move(process));
        }
    }
    for (auto &process : clients) {
        while (!process->canReadLine() && process->waitForReadyRead(10000)) { }
        process->readLine();
    }
    QElapsedTimer storm;
    storm.start();
    for (auto &process : clients) {
        process->write("go\n");
        process->closeWriteChannel();
    }
    for (auto &process : clients)
        process->waitForFinished(600000);
    const qint64 stormMs = storm.elapsed();
    const Snapshot after = snapshot(daemon);
    // The signals wait in the queue of this thread; the last ones may still be on their way.
    QElapsedTimer drain;
    drain.start();
    while (drain.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);

    // Per identity and kind of call: the latencies in ms, and the outcomes.
    QVector<double> all;
    QMap<QString, QVector<double>> byKind;
    QMap<QString, QMap<QByteArray, int>> outcomes;
    int crashedClients = 0;
    const char *kindNames[] = {"Get", "GetAll", "method"};
    for (size_t i = 0; i < clients.size(); ++i) {
        if (clients[i]->exitStatus() != QProcess::NormalExit || clients[i]->exitCode() != 0)
            ++crashedClients;
        for (const QByteArray &result : clients[i]->readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = result.split(' ');
            if (fields.size() != 3)
                continue;
            const double ms = fields.at(2).toDouble() / 1000.0;
            const int kind = fields.at(0).toInt();
            all.append(ms);
            QString key = QString::fromLatin1(kindNames[qBound(0, kind, 2)]);
            if (kind == Method)
                key += names.at(int(i)) == QLatin1String("root") ||
                        names.at(int(i)) == QLatin1String("alice")
                    ? QStringLiteral(" (busy)")
                    : QStringLiteral(" (refused)");
            byKind[key].append(ms);
            ++outcomes[names.at(int(i))][fields.at(1)];
        }
    }

    waitFor(
        [&] {
            return QFileInfo(Target).size() >= total;
        },
        600000);
    waitFor(
        [&] {
            return daemon.status() == 0;
        },
        30000);
    settle();
    const Snapshot end = snapshot(daemon);
    const QByteArray got = sha256(Target);
    const bool alive = daemon.status() >= 0;

    std::printf("call storm: %d clients x %d calls in %.2f s, download of %lld MiB on %s\n",
        int(clients.size()), calls, stormMs / 1000.0, total / 1024 / 1024,
        line > 0 ? qPrintable(QStringLiteral("a %1 MB/s line").arg(line)) : "plain loopback");
    std::printf("  latency over %d calls: median %.2f ms, 99th percentile %.2f ms (goal < 50), "
                "max %.2f ms\n",
        int(all.size()), quantile(all, 0.5), quantile(all, 0.99), quantile(all, 1.0));
    for (auto it = byKind.constBegin(); it != byKind.constEnd(); ++it)
        std::printf("    %-18s %5d calls: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
            qPrintable(it.key()), int(it.value().size()), quantile(it.value(), 0.5),
            quantile(it.value(), 0.99), quantile(it.value(), 1.0));
    for (auto it = outcomes.constBegin(); it != outcomes.constEnd(); ++it) {
        std::printf("    %-6s", qPrintable(it.key()));
        for (auto o = it.value().constBegin(); o != it.value().constEnd(); ++o)
            std::printf(" %s %d", o.key().constData(), o.value());
        std::printf("\n");
    }
    std::printf("    Error signals:");
    for (auto it = errors.codes.constBegin(); it != errors.codes.constEnd(); ++it)
        std::printf(" code %d x %d", it.key(), it.value());
    std::printf("\n");
    printSnapshot("daemon after the check (idle)", idle);
    printSnapshot("downloading, before the storm", before);
    printSnapshot("after the storm", after);
    printSnapshot("download finished, settled", end);
    std::printf("  descriptors: %+d over the storm, %+d from idle to idle (goal: no growth)\n",
        after.fds - before.fds, end.fds - idle.fds);
    std::printf("  clients that failed: %d; daemon alive: %s; download still running when the "
                "storm ended: %s\n",
        crashedClients, alive ? "yes" : "NO", after.status == 3 ? "yes" : "NO");
    std::printf("  image sha256 served %s\n               saved  %s  %s\n", served.constData(),
        got.constData(), served == got ? "(identical)" : "(DIFFERENT)");
    std::fflush(stdout);

    holdLine(0);
    daemon.stop();
    QFile::remove(Target);
    QDir(work + QStringLiteral("/root")).removeRecursively();
    return 0;
}

#include "bench_callstorm.moc"
