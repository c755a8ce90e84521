// corvanectl as QA engineers and scripts run it: against the real daemon on the device's system
// bus, as root and as the device's other users.
#include "busclient.h"
#include "daemonprocess.h"
#include "releaseserver.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {

const QString CacheDir = QStringLiteral("/home/.system-updates");
const QString CacheFile = CacheDir + QStringLiteral("/os-info.json");
const QString SsuConfig = QStringLiteral("/etc/ssu/ssu.ini");
const QString PolicyFile = QStringLiteral("/etc/zovoveva/access-policy.conf");

// A package update the daemon restores at start: it then selects it, fails to prepare it (the
// method is not built yet) and rests with the stored values.
QByteArray storedUpdate()
{
    const QJsonObject info {{"version", "4.1.0"}, {"codeName", "Kaamos"},
        {"lastChecked", 1700000000000.0}, {"size", 3145728}, {"downloadedSize", 1048576},
        {"installSize", 1000}, {"isDownloaded", false},
        {"vendorDataUrl", "https://vendor.example/data.tar"},
        {"packagesToRemove", QJsonArray {"old-app", "old-lib"}}};
    const QJsonArray methods {QJsonObject {{"method", 1}, {"info", info}}};
    return QJsonDocument(QJsonObject {{"methods", methods}}).toJson();
}

const QByteArray TwoMethods = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";
const QByteArray NothingForThisDevice = R"({"devices": []})";

QString corvanectl()
{
    return qEnvironmentVariable("CORVANECTL_BINARY", QStringLiteral("corvanectl"));
}

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

// corvanectl to its end, as root or as "uid:gid" of one of the device's users.
Run ctl(const QStringList &arguments, const QString &identity = QString(),
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (identity.isEmpty()) {
        process.start(corvanectl(), arguments);
    } else {
        const QStringList ids = identity.split(QLatin1Char(':'));
        process.start(QStringLiteral("setpriv"),
            QStringList {QStringLiteral("--reuid=") + ids.at(0),
                QStringLiteral("--regid=") + ids.at(1), QStringLiteral("--init-groups"),
                corvanectl()} +
                arguments);
    }
    QElapsedTimer clock;
    clock.start();
    Run run;
    if (!process.waitForFinished(90000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("corvanectl did not end");
        return run;
    }
    run.elapsedMs = clock.elapsed();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString describe(const Run &run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3")
        .arg(run.exitCode)
        .arg(run.out, run.err);
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

// corvanectl monitor says on standard error when it listens.
bool waitUntilListening(QProcess &monitor)
{
    monitor.setReadChannel(QProcess::StandardError);
    QByteArray said;
    while (!said.contains('\n')) {
        if (!monitor.waitForReadyRead(15000))
            return false;
        said += monitor.readAll();
    }
    monitor.setReadChannel(QProcess::StandardOutput);
    return said.startsWith("Monitoring org.tessaro.Corvane");
}

void pointSsuAt(const QString &releaseDomain)
{
    ReleaseServer::configureDevice(releaseDomain, QStringLiteral("x1"), QStringLiteral("4.0.0"));
}

} // namespace

class TestCorvaneCtl : public QObject
{
    Q_OBJECT

private:
    // Starts the daemon, with the stored update when asked, and waits until it rests.
    void startDaemon(bool withStoredUpdate)
    {
        if (withStoredUpdate)
            writeFile(CacheFile, storedUpdate());
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
        QVERIFY(BusClient::waitForStatus(0));
    }

private slots:
    void init()
    {
        QFile::remove(CacheFile);
        QFile::remove(SsuConfig);
        QFile::remove(PolicyFile);
    }

    void cleanup() { m_daemon.reset(); }

    void help_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("usage");
        QTest::addColumn<QString>("mentions");

        QTest::newRow("global") << QStringList {"--help"} << "Usage: corvanectl [--timeout"
                                << "download-vendor-data URL";
        QTest::newRow("status") << QStringList {"status", "--help"} << "Usage: corvanectl status"
                                << "--json";
        QTest::newRow("check") << QStringList {"check", "-h"} << "Usage: corvanectl check"
                               << "--force";
        QTest::newRow("set-method")
            << QStringList {"set-method", "--help"} << "Usage: corvanectl set-method"
            << "package|reset|any";
        QTest::newRow("download") << QStringList {"download", "--help"}
                                  << "Usage: corvanectl download"
                                  << "--timeout";
        QTest::newRow("download-vendor-data") << QStringList {"download-vendor-data", "--help"}
                                              << "Usage: corvanectl download-vendor-data"
                                              << "URL";
        QTest::newRow("cancel") << QStringList {"cancel", "--help"} << "Usage: corvanectl cancel"
                                << "--timeout";
        QTest::newRow("install") << QStringList {"install", "--help"} << "Usage: corvanectl install"
                                 << "--reboot";
        QTest::newRow("monitor") << QStringList {"monitor", "--help"} << "Usage: corvanectl monitor"
                                 << "--count";
    }

    // Help needs no bus and no daemon: neither runs here.
    void help()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, usage);
        QFETCH(QString, mentions);

        QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
        noBus.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/none"));
        const Run run = ctl(arguments, QString(), noBus);
        QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
        QVERIFY2(run.out.startsWith(usage), qPrintable(run.out));
        QVERIFY2(run.out.contains(mentions), qPrintable(run.out));
        QVERIFY2(run.out.contains(QStringLiteral("Exit status:")), qPrintable(run.out));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");

        QTest::newRow("no command") << QStringList();
        QTest::newRow("unknown command") << QStringList {"upgrade"};
        QTest::newRow("unknown method") << QStringList {"set-method", "ota"};
        QTest::newRow("two versions") << QStringList {"check", "4.1", "4.2"};
        QTest::newRow("bad timeout") << QStringList {"download", "--timeout", "soon"};
        QTest::newRow("no URL") << QStringList {"download-vendor-data"};
        QTest::newRow("option of another command") << QStringList {"install", "--force"};
    }

    void usageErrors()
    {
        QFETCH(QStringList, arguments);

        // Nothing may reach the daemon: a wrong command line must not start an operation.
        startDaemon(false);
        BusSignal changes(QStringLiteral("statusChanged"));
        const Run run = ctl(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("corvanectl")), qPrintable(run.err));
        QVERIFY(!changes.spy().wait(300));
    }

    void status_data()
    {
        QTest::addColumn<bool>("storedUpdate");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QJsonObject>("json");

        const QString lastChecked = QDateTime::fromMSecsSinceEpoch(1700000000000)
                                        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
        QTest::newRow("stored update")
            << true
            << QStringList {"status:                 Idle", "method:                 PackageUpdate",
                   "version:                4.1.0", "supportedMethods:       PackageUpdate",
                   "codeName:               Kaamos", "cover:                  \"\"",
                   "packagesToRemove:       old-app, old-lib",
                   "size:                   3145728 bytes (3.00 MiB)",
                   "downloadedSize:         1048576 bytes (1.00 MiB)", "isDownloaded:           no",
                   "vendorDataUrl:          https://vendor.example/data.tar",
                   "lastChecked:            " + lastChecked}
            << QJsonObject {{"status", 0}, {"statusName", "Idle"}, {"method", 1},
                   {"methodName", "PackageUpdate"}, {"version", "4.1.0"},
                   {"supportedMethods", QJsonArray {1}},
                   {"supportedMethodNames", QJsonArray {"PackageUpdate"}}, {"size", 3145728},
                   {"downloadedSize", 1048576}, {"isDownloaded", false},
                   {"packagesToRemove", QJsonArray {"old-app", "old-lib"}},
                   {"lastChecked", 1700000000000.0}};
        QTest::newRow("nothing known")
            << false
            << QStringList {"status:                 Idle", "method:                 Unknown",
                   "version:                \"\"", "supportedMethods:       none",
                   "size:                   unknown", "downloadedSize:         unknown"}
            << QJsonObject {{"method", -1}, {"methodName", "Unknown"}, {"version", ""},
                   {"supportedMethods", QJsonArray {}}, {"size", -1}, {"downloadedSize", -1}};
    }

    void status()
    {
        QFETCH(bool, storedUpdate);
        QFETCH(QStringList, lines);
        QFETCH(QJsonObject, json);

        startDaemon(storedUpdate);
        const Run human = ctl({QStringLiteral("status")});
        QVERIFY2(human.exitCode == 0, qPrintable(describe(human)));
        const QStringList printed = human.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(printed.size(), 15);
        for (const QString &line : lines)
            QVERIFY2(printed.contains(line), qPrintable(line + QStringLiteral("\n") + human.out));

        const Run machine = ctl({QStringLiteral("status"), QStringLiteral("--json")});
        QVERIFY2(machine.exitCode == 0, qPrintable(describe(machine)));
        QCOMPARE(machine.out.count(QLatin1Char('\n')), 1);
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(machine.out.toUtf8(), &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        for (auto it = json.constBegin(); it != json.constEnd(); ++it)
            QCOMPARE(object.value(it.key()), it.value());
        // Every property is there, as the interface names it.
        for (const char *name : {"codeName", "cover", "summary", "website", "vendorDataUrl",
                 "isVendorDataDownloaded", "lastChecked"})
            QVERIFY2(object.contains(QLatin1String(name)), name);
        if (!storedUpdate) {
            // With no method set, the daemon reports the current time as the last check.
            const double now = QDateTime::currentMSecsSinceEpoch();
            QVERIFY(qAbs(object.value(QStringLiteral("lastChecked")).toDouble() - now) < 60000);
        }
    }

    void operations_data()
    {
        QTest::addColumn<bool>("storedUpdate");
        QTest::addColumn<QByteArray>("metadata");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");

        const QString methodFailure = QStringLiteral("^error: \\w+: .+\n$");
        // No release domain: the daemon fails before it even replies.
        QTest::newRow("check, no release server")
            << false << QByteArray() << QStringList {"check"} << 1 << ""
            << "^error: SsuError: Invalid ssu domain configuration: releaseDomain is empty\n$";
        QTest::newRow("check finds nothing")
            << false << NothingForThisDevice << QStringList {"check"} << 0
            << "^No update is available for this device.\n$"
            << "^$";
        // The found method is prepared next, which cannot succeed on this device: its outcome
        // is whatever the update method reports.
        QTest::newRow("check finds an update")
            << false << TwoMethods << QStringList {"check"} << 1 << "" << methodFailure;
        QTest::newRow("check keeps the stored update")
            << true << NothingForThisDevice << QStringList {"check"} << 0
            << "did not ask the release server \\(--force makes it ask\\)\\.\nversion: +4\\.1\\.0\n"
               "method: +PackageUpdate\n"
               "supportedMethods: +PackageUpdate\nsize: +3145728 bytes"
            << "^$";
        QTest::newRow("forced check replaces the stored update")
            << true << NothingForThisDevice << QStringList {"check", "--force"} << 0
            << "^No update is available for this device.\n$"
            << "^$";
        QTest::newRow("set-method, not offered")
            << true << QByteArray() << QStringList {"set-method", "reset"} << 1 << ""
            << "^error: InternalError: Method is not supported\n$";
        QTest::newRow("set-method, preparation fails")
            << true << QByteArray() << QStringList {"set-method", "Package"} << 1 << ""
            << methodFailure;
        QTest::newRow("download, no method")
            << false << QByteArray() << QStringList {"download"} << 1 << ""
            << "^error: InternalError: Update method is not set\n$";
        QTest::newRow("download fails")
            << true << QByteArray() << QStringList {"download"} << 1 << "" << methodFailure;
        QTest::newRow("vendor data fails")
            << true << QByteArray()
            << QStringList {"download-vendor-data", "https://vendor.example/v.tar"} << 1 << ""
            << methodFailure;
        QTest::newRow("install, not downloaded")
            << true << QByteArray() << QStringList {"install", "--reboot"} << 1 << ""
            << "^error: InternalError: OS update is not downloaded\n$";
        QTest::newRow("cancel, nothing running")
            << false << QByteArray() << QStringList {"cancel"} << 0
            << "^No download is running \\(the status is Idle\\)"
            << "^$";
    }

    void operations()
    {
        QFETCH(bool, storedUpdate);
        QFETCH(QByteArray, metadata);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        ReleaseServer server;
        if (!metadata.isEmpty()) {
            QVERIFY(server.start());
            server.serve(QStringLiteral("metav2"), metadata);
            server.configureDevice();
        }
        startDaemon(storedUpdate);
        const Run run = ctl(arguments);
        QVERIFY2(run.exitCode == exitCode, qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(out).match(run.out).hasMatch(), qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(err).match(run.err).hasMatch(), qPrintable(describe(run)));
        // An operation is waited for to its end: the daemon rests when corvanectl returns.
        QCOMPARE(BusClient::status(), 0);
    }

    void callers_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<bool>("osUpdatesEnabled");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");

        QTest::newRow("outsider checks")
            << "2003:100" << true << QStringList {"check"} << 3
            << "^error: access denied: PID \\d+ is not in privileged group\nhint: .*root";
        QTest::newRow("privileged, not a system user")
            << "2002:996" << true << QStringList {"install"} << 3
            << "^error: access denied: UID 2002 is not in zovoveva-system group\nhint: ";
        QTest::newRow("updates disabled by device management")
            << "2001:996" << false << QStringList {"download"} << 3
            << "^error: access denied: Disabled by MDM\nhint: device management";
        QTest::newRow("outsider reads the status")
            << "2003:100" << true << QStringList {"status"} << 0 << "^$";
        QTest::newRow("system user checks")
            << "2001:996" << true << QStringList {"check"} << 1 << "^error: SsuError: ";
    }

    void callers()
    {
        QFETCH(QString, identity);
        QFETCH(bool, osUpdatesEnabled);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, err);

        writeFile(PolicyFile,
            osUpdatesEnabled ? "[OsUpdates]\nEnabled=true\n" : "[OsUpdates]\nEnabled=false\n");
        startDaemon(false);
        const Run run = ctl(arguments, identity);
        QVERIFY2(run.exitCode == exitCode, qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(err).match(run.err).hasMatch(), qPrintable(describe(run)));
    }

    void busyDaemon_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");

        const QString busy = QStringLiteral("^error: BusyError: Corvane is busy\n$");
        QTest::newRow("check") << QStringList {"check", "--force"} << 1 << "^$" << busy;
        QTest::newRow("set-method") << QStringList {"set-method", "any"} << 1 << "^$" << busy;
        QTest::newRow("download") << QStringList {"download"} << 1 << "^$" << busy;
        QTest::newRow("install") << QStringList {"install"} << 1 << "^$" << busy;
        QTest::newRow("cancel") << QStringList {"cancel"} << 0
                                << "^No download is running \\(the status is Checking\\)"
                                << "^$";
    }

    void busyDaemon()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);

        // A release server that takes the connection and never answers keeps the check going.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        pointSsuAt(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()));
        startDaemon(true);
        QProcess first;
        first.start(corvanectl(),
            {QStringLiteral("check"), QStringLiteral("--force"), QStringLiteral("--timeout"),
                QStringLiteral("3")});
        QVERIFY(BusClient::waitForStatus(1));

        const Run run = ctl(arguments);
        QVERIFY2(run.exitCode == exitCode, qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(out).match(run.out).hasMatch(), qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(err).match(run.err).hasMatch(), qPrintable(describe(run)));

        // The BusyError sent to the second client is not the first one's outcome: that one waits
        // for its own check until its timeout, and then says where the daemon is.
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 5);
        QVERIFY2(
            first.readAllStandardError().contains("after 3 s; the daemon's status is Checking"),
            "the timed-out check does not say so");
        QCOMPARE(BusClient::status(), 1);
    }

    void unreachable_data()
    {
        QTest::addColumn<QString>("busAddress");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("err");

        const QString noDaemon =
            QStringLiteral("^corvanectl: the update daemon \\(org.tessaro.Corvane\\) is not "
                           "running and the system bus could not start it .*\nhint: ");
        QTest::newRow("status, no daemon") << QString() << QStringList {"status"} << noDaemon;
        QTest::newRow("check, no daemon") << QString() << QStringList {"check"} << noDaemon;
        QTest::newRow("cancel, no daemon") << QString() << QStringList {"cancel"} << noDaemon;
        QTest::newRow("no bus") << "unix:path=/run/no-such-bus" << QStringList {"download"}
                                << "^corvanectl: the system bus at unix:path=/run/no-such-bus "
                                   "cannot be reached .*\nhint: is DBUS_SYSTEM_BUS_ADDRESS right";
    }

    void unreachable()
    {
        QFETCH(QString, busAddress);
        QFETCH(QStringList, arguments);
        QFETCH(QString, err);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!busAddress.isEmpty())
            environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        const Run run = ctl(arguments, QString(), environment);
        QVERIFY2(run.exitCode == 4, qPrintable(describe(run)));
        QVERIFY2(QRegularExpression(err).match(run.err).hasMatch(), qPrintable(describe(run)));
        QVERIFY2(run.elapsedMs < 10000, qPrintable(QString::number(run.elapsedMs)));
    }

    void monitorCountsSignals()
    {
        startDaemon(true);
        QProcess monitor;
        monitor.start(corvanectl(),
            {QStringLiteral("monitor"), QStringLiteral("--count"), QStringLiteral("17")});
        QVERIFY(waitUntilListening(monitor));

        // A check that fails at once, then a method selection, which announces every property
        // before it starts the preparation.
        QCOMPARE(ctl({QStringLiteral("check"), QStringLiteral("--force")}).exitCode, 1);
        ctl({QStringLiteral("set-method"), QStringLiteral("any")});
        QVERIFY(monitor.waitForFinished(15000));
        QCOMPARE(monitor.exitCode(), 0);

        const QStringList lines = QString::fromUtf8(monitor.readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 17);
        const QRegularExpression line(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (\\w+)(.*)$"));
        QStringList names;
        QStringList details;
        for (const QString &text : lines) {
            const QRegularExpressionMatch match = line.match(text);
            QVERIFY2(match.hasMatch(), qPrintable(text));
            names.append(match.captured(1));
            details.append(match.captured(2));
        }
        QCOMPARE(names,
            QStringList({"statusChanged", "Error", "statusChanged", "methodChanged",
                "versionChanged", "codeNameChanged", "coverChanged", "summaryChanged",
                "websiteChanged", "packagesToRemoveChanged", "sizeChanged", "downloadedSizeChanged",
                "isDownloadedChanged", "vendorDataUrlChanged", "isVendorDataDownloadedChanged",
                "lastCheckedChanged", "statusChanged"}));
        QCOMPARE(details.at(1),
            QStringLiteral(" SsuError (6): Invalid ssu domain configuration: releaseDomain is "
                           "empty"));
        QCOMPARE(details.at(3), QStringLiteral(" method = PackageUpdate"));
        QCOMPARE(details.at(4), QStringLiteral(" version = 4.1.0"));
        QCOMPARE(details.at(5), QStringLiteral(" codeName = Kaamos"));
    }

    void monitorStopsOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void monitorStopsOnSignal()
    {
        QFETCH(int, signalNumber);

        // No daemon needed: the monitor waits for it to appear.
        QProcess monitor;
        monitor.start(corvanectl(), {QStringLiteral("monitor")});
        QVERIFY(waitUntilListening(monitor));
        ::kill(pid_t(monitor.processId()), signalNumber);
        QVERIFY(monitor.waitForFinished(15000));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), 0);
    }

private:
    std::unique_ptr<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestCorvaneCtl)
#include "tst_corvanectl.moc"
