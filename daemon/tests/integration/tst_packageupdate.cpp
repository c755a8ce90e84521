// The package update method as the device runs it: the corvane process on the device's buses,
// with the PackageKit, SSU, home screen and DSME stand-ins behind it.
#include "busclient.h"
#include "daemonprocess.h"
#include "releaseserver.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {

const QString CacheDir = QStringLiteral("/home/.system-updates");
const QString CacheFile = CacheDir + QStringLiteral("/os-info.json");
const QString ReleaseRecoveryFile = CacheDir + QStringLiteral("/ssu-version");
const QString SsuConfig = QStringLiteral("/etc/ssu/ssu.ini");
const QString SsuCallLog = QStringLiteral("/etc/ssu/calls.log");
const QString PackageKitState = QStringLiteral("/etc/packagekit-standin/state.json");
const QString UpdateDirectory = QStringLiteral("/var/lib/zovoveva-update");
const QString UpdateInfoFile = UpdateDirectory + QStringLiteral("/update_info.ini");
const QString TriggerLink = QStringLiteral("/system-update");

const QString PackageKitService = QStringLiteral("org.freedesktop.PackageKit");
const QString LipstickService = QStringLiteral("org.nemomobile.lipstick");
const QString LipstickPath = QStringLiteral("/shutdown");
const QString DsmeService = QStringLiteral("com.nokia.dsme");
const QString DsmePath = QStringLiteral("/com/nokia/dsme/request");

const QString CurrentRelease = QStringLiteral("4.5.0");
const QString TargetRelease = QStringLiteral("4.6.0");

constexpr int Idle = 0;
constexpr int Preparing = 2;
constexpr int Downloading = 3;
constexpr int IOError = 1;
constexpr int PackageError = 4;

const QByteArray PackageRelease = R"({"devices": [{"device": "x1", "latestRelease": "4.6.0",
    "releases": [{"version": "4.6.0", "updateMethods": [{"method": "Package"}]}]}]})";

// The device runs 4.5.0 from adaptation0 and tessaro, the two repositories SSU lists, and has a
// game from the store. Release 4.6.0 updates the configuration package and the kernel and drops
// the game. The configuration package of 4.6.0 exists only in 4.6.0, so a size query that is not
// run on the target release fails.
const QByteArray PackageSystem = R"({
    "release_file": "/etc/ssu/ssu.ini",
    "repositories": [
        {"id": "adaptation0", "description": "Hardware adaptation"},
        {"id": "tessaro", "description": "Operating system"},
        {"id": "store", "description": "Store"}
    ],
    "installed": [
        {"id": "tessaro-configuration-x1;4.5.0;noarch;tessaro", "installed_size": 1000},
        {"id": "kernel;4.5.0;armv7hl;adaptation0", "installed_size": 30000000},
        {"id": "game;2.0;armv7hl;store", "installed_size": 500000}
    ],
    "releases": {
        "4.6.0": {
            "packages": {
                "tessaro": [{"id": "tessaro-configuration-x1;4.6.0;noarch", "size": 2050,
                             "installed_size": 1200}],
                "adaptation0": [{"id": "kernel;4.6.0;armv7hl", "size": 9000000,
                                 "installed_size": 31000000}]
            },
            "obsoletes": ["game"]
        }
    },
    "durations": {"UpgradeSystem": 0.3}
})";

// What the stand-in computes for the package system above: the bytes of the two new packages,
// and the bytes they install minus those of the versions they replace and of the dropped game.
constexpr qint64 DownloadSize = 2050 + 9000000;
constexpr qint64 InstallSize = (1200 + 31000000) - (1000 + 30000000 + 500000);
const QString ForeignPackage = QStringLiteral("game;2.0;armv7hl;store");
const QString SizeQuery =
    QStringLiteral("UpgradeSystem 6 ext::query-sizes:tessaro-configuration-x1 3");

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList readLines(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The package system with the given top-level keys replaced, for the stand-in to start with.
void writePackageSystem(const QJsonObject &changes = {})
{
    QJsonObject state = QJsonDocument::fromJson(PackageSystem).object();
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state.insert(it.key(), it.value());
    writeFile(PackageKitState, QJsonDocument(state).toJson());
}

QJsonObject fault(const QString &match, const QString &details, int times = -1)
{
    QJsonObject fault {{QStringLiteral("match"), match}, {QStringLiteral("details"), details},
        {QStringLiteral("error"), QStringLiteral("package-download-failed")}};
    if (times >= 0)
        fault.insert(QStringLiteral("times"), times);
    return fault;
}

void configureSsu(const QString &releaseDomain)
{
    ReleaseServer::configureDevice(releaseDomain, QStringLiteral("x1"), CurrentRelease);
    QFile config(SsuConfig);
    QVERIFY(config.open(QIODevice::Append));
    config.write("[repositories]\nrepos = adaptation0, tessaro\n");
}

// The release key of the [General] section, as SSU reads it.
QString ssuRelease()
{
    QString section = QStringLiteral("General");
    QString release;
    const QStringList lines = readLines(SsuConfig);
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            section = line.mid(1, line.size() - 2);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (section == QLatin1String("General") && equals > 0 &&
            line.left(equals).trimmed() == QLatin1String("release"))
            release = line.mid(equals + 1).trimmed();
    }
    return release;
}

// The releases the daemon asked the SSU service to switch to, in order.
QStringList ssuReleaseSwitches()
{
    QStringList releases;
    const QStringList lines = readLines(SsuCallLog);
    for (const QString &line : lines) {
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.first() == QLatin1String("setRelease"))
            releases.append(words.value(1));
    }
    return releases;
}

QStringList packageKitCalls()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(PackageKitService,
        QStringLiteral("/org/corvane/PackageKitControl"),
        QStringLiteral("org.corvane.PackageKitControl"), QStringLiteral("GetCalls"));
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
    return reply.arguments().value(0).toStringList();
}

void configurePackageKit(const QByteArray &json)
{
    QDBusMessage call = QDBusMessage::createMethodCall(PackageKitService,
        QStringLiteral("/org/corvane/PackageKitControl"),
        QStringLiteral("org.corvane.PackageKitControl"), QStringLiteral("Configure"));
    call.setArguments({QString::fromUtf8(json)});
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

int countStartingWith(const QStringList &lines, const QString &prefix)
{
    return std::count_if(lines.cbegin(), lines.cend(), [&prefix](const QString &line) {
        return line.startsWith(prefix);
    });
}

// The PackageKit stand-in reads its state file only when it starts; stopping it makes the next
// call start it with the package system the next test wrote.
void stopPackageKit()
{
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    if (!bus->isServiceRegistered(PackageKitService).value())
        return;
    const uint pid = bus->servicePid(PackageKitService).value();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(PackageKitService).value(), 10000);
}

QDBusMessage mockCall(const QString &service, const QString &path, const QString &method)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 15000);
}

// What a home screen or DSME stand-in recorded, one "method(arguments)" per call.
QStringList recordedCalls(const QString &service, const QString &path)
{
    const QDBusMessage reply = mockCall(service, path, QStringLiteral("GetCalls"));
    QStringList calls;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {QStringLiteral("GetCalls failed: ") + reply.errorMessage()};
    const QDBusArgument array = reply.arguments().value(0).value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        qulonglong stamp = 0;
        QString method;
        QVariantList arguments;
        array.beginStructure();
        array >> stamp >> method >> arguments;
        array.endStructure();
        QStringList texts;
        for (const QVariant &argument : qAsConst(arguments)) {
            const QVariant value = argument.canConvert<QDBusVariant>()
                ? argument.value<QDBusVariant>().variant()
                : argument;
            texts.append(value.toString());
        }
        calls.append(method + QLatin1Char('(') + texts.join(QLatin1Char(',')) + QLatin1Char(')'));
    }
    array.endArray();
    return calls;
}

struct BusError
{
    int code = -2;
    QString text;
};

BusError errorAt(BusSignal &errors, int index)
{
    const QVariantList arguments = errors.spy().at(index).first().toList();
    BusError error;
    const QDBusArgument code = arguments.value(0).value<QDBusArgument>();
    code.beginStructure();
    code >> error.code;
    code.endStructure();
    error.text = arguments.value(1).toString();
    return error;
}

QString errorsText(BusSignal &errors)
{
    QStringList texts;
    for (int i = 0; i < errors.spy().count(); ++i) {
        const BusError error = errorAt(errors, i);
        texts.append(QStringLiteral("%1 %2").arg(error.code).arg(error.text));
    }
    return texts.join(QLatin1Char('\n'));
}

void callDaemon(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        BusClient::Service, BusClient::Path, BusClient::Interface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 60000);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

// A package update to 4.6.0 found by an earlier check, as the daemon stored it.
void plantCache(bool isDownloaded)
{
    const QJsonObject info {{QStringLiteral("version"), TargetRelease},
        {QStringLiteral("lastChecked"), 1700000000000.0},
        {QStringLiteral("isDownloaded"), isDownloaded}, {QStringLiteral("size"), 1000},
        {QStringLiteral("installSize"), 1000}};
    const QJsonArray methods {
        QJsonObject {{QStringLiteral("method"), 1}, {QStringLiteral("info"), info}}};
    writeFile(
        CacheFile, QJsonDocument(QJsonObject {{QStringLiteral("methods"), methods}}).toJson());
}

QJsonObject cachedInfo()
{
    const QJsonArray methods = QJsonDocument::fromJson(readFile(CacheFile))
                                   .object()
                                   .value(QStringLiteral("methods"))
                                   .toArray();
    return methods.first().toObject().value(QStringLiteral("info")).toObject();
}

// The command-line client, when the build has it; the end-to-end test then drives the daemon
// the way a user does.
QString corvanectl()
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString path = environment.value(QStringLiteral("CORVANECTL_BINARY"));
    if (path.isEmpty() && environment.contains(QStringLiteral("CORVANE_BINARY_DIR"))) {
        path = environment.value(QStringLiteral("CORVANE_BINARY_DIR")) +
            QStringLiteral("/tools/corvanectl/corvanectl");
    }
    return QFileInfo(path).isExecutable() ? path : QString();
}

} // namespace

class TestPackageUpdate : public QObject
{
    Q_OBJECT

private:
    void startDaemon()
    {
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
    }

    // Starts the daemon with a stored package update and waits until it has prepared it again.
    void startPrepared(bool isDownloaded)
    {
        plantCache(isDownloaded);
        startDaemon();
        QVERIFY(BusClient::waitForStatus(Idle, 30000));
        QCOMPARE(BusClient::property(QStringLiteral("size")).toLongLong(), DownloadSize);
        QTRY_VERIFY(!QFile::exists(ReleaseRecoveryFile));
    }

    // One operation, through corvanectl when there is one (which waits for the end itself),
    // else straight on the bus; either way it returns once the daemon rests again, with the
    // statuses seen on the way in `statuses`.
    void operate(const QStringList &ctlArguments, const QString &method,
        const QVariantList &arguments, QList<int> *statuses)
    {
        BusSignal statusChanged(QStringLiteral("statusChanged"));
        connect(&statusChanged, &BusSignal::received, this, [statuses] {
            const int status = BusClient::status();
            if (statuses->isEmpty() || statuses->last() != status)
                statuses->append(status);
        });
        const QString client = corvanectl();
        if (client.isEmpty()) {
            callDaemon(method, arguments);
        } else {
            QProcess process;
            process.start(client, ctlArguments);
            // Waiting in the event loop lets the test's signal recorders see the operation.
            QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 60000);
            QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                qPrintable(QString::fromUtf8(process.readAllStandardError())));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!statuses->isEmpty() && statuses->last() == Idle, 60000);
    }

    // After each job the target release is switched back and its recovery file is gone.
    void verifyReleaseRestored()
    {
        QTRY_COMPARE(ssuRelease(), CurrentRelease);
        QTRY_VERIFY(!QFile::exists(ReleaseRecoveryFile));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_server.serve(QStringLiteral("metav2"), PackageRelease);
        qInfo("End-to-end client: %s",
            corvanectl().isEmpty() ? "QtDBus calls" : qPrintable(corvanectl()));
    }

    void init()
    {
        stopPackageKit();
        QFile::remove(CacheFile);
        QFile::remove(ReleaseRecoveryFile);
        QFile::remove(SsuCallLog);
        ::unlink(TriggerLink.toLocal8Bit().constData());
        if (!QFileInfo(UpdateDirectory).isDir())
            QFile::remove(UpdateDirectory);
        QVERIFY(QDir().mkpath(UpdateDirectory));
        QFile::remove(UpdateInfoFile);
        configureSsu(m_server.address());
        writePackageSystem();
        QCOMPARE(mockCall(LipstickService, LipstickPath, QStringLiteral("ClearCalls")).type(),
            QDBusMessage::ReplyMessage);
        QCOMPARE(mockCall(DsmeService, DsmePath, QStringLiteral("ClearCalls")).type(),
            QDBusMessage::ReplyMessage);
    }

    void cleanup() { m_daemon.reset(); }

    void updateThroughTheBus()
    {
        startDaemon();
        BusSignal errors(QStringLiteral("Error"));

        // Check: the package method is selected and measured on the target release.
        QList<int> statuses;
        operate({QStringLiteral("check"), QStringLiteral("--force")}, QStringLiteral("Check"),
            {QStringLiteral("latest"), true}, &statuses);
        QVERIFY(statuses.contains(Preparing));
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        QCOMPARE(BusClient::supportedMethods(), QList<int> {1});
        QCOMPARE(BusClient::method(), 1);
        QCOMPARE(BusClient::property(QStringLiteral("version")).toString(), TargetRelease);
        QCOMPARE(BusClient::property(QStringLiteral("size")).toLongLong(), DownloadSize);
        QCOMPARE(cachedInfo().value(QStringLiteral("installSize")).toDouble(), double(InstallSize));
        verifyReleaseRestored();
        QCOMPARE(ssuReleaseSwitches(), (QStringList {TargetRelease, CurrentRelease}));
        // Only the repositories SSU lists are enabled while the size is asked for.
        QTRY_COMPARE(packageKitCalls(),
            (QStringList {QStringLiteral("GetRepoList 2"), QStringLiteral("RepoEnable store false"),
                SizeQuery, QStringLiteral("RepoEnable store true")}));

        // Download: progress in bytes is the download size in whole hundredths times the percent.
        BusSignal progress(QStringLiteral("DownloadProgress"));
        QList<qlonglong> sampledBytes;
        connect(&progress, &BusSignal::received, this, [&sampledBytes] {
            sampledBytes.append(BusClient::property(QStringLiteral("downloadedSize")).toLongLong());
        });
        statuses.clear();
        operate({QStringLiteral("download")}, QStringLiteral("Download"), {}, &statuses);
        QCOMPARE(statuses, (QList<int> {Downloading, Idle}));
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        QVERIFY(progress.spy().count() >= 2);
        QList<qlonglong> allowedBytes;
        for (const QList<QVariant> &emission : qAsConst(progress.spy())) {
            const int percent = emission.first().toList().value(0).toInt();
            QVERIFY2(percent >= 0 && percent < 100, qPrintable(QString::number(percent)));
            allowedBytes.append(DownloadSize / 100 * percent);
        }
        for (qlonglong bytes : qAsConst(sampledBytes)) {
            // The size of a later step is fine: the sample may come after the next emission.
            QVERIFY2(allowedBytes.contains(bytes) || bytes == DownloadSize,
                qPrintable(QString::number(bytes)));
        }
        QVERIFY(std::any_of(sampledBytes.cbegin(), sampledBytes.cend(), [](qlonglong bytes) {
            return bytes > 0 && bytes < DownloadSize;
        }));
        QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), true);
        QCOMPARE(BusClient::property(QStringLiteral("downloadedSize")).toLongLong(), DownloadSize);
        QCOMPARE(BusClient::property(QStringLiteral("packagesToRemove")).toStringList(),
            QStringList {ForeignPackage});
        verifyReleaseRestored();
        const QStringList downloadCalls = packageKitCalls();
        QVERIFY2(downloadCalls.contains(QStringLiteral(
                     "Resolve 2097152 ext::data:repo,game,tessaro-configuration-x1,kernel")),
            qPrintable(downloadCalls.join(QLatin1Char('\n'))));
        QCOMPARE(countStartingWith(downloadCalls, QStringLiteral("UpgradeSystem 2 ")), 1);
        QCOMPARE(countStartingWith(downloadCalls, QStringLiteral("RepoEnable store false")), 3);

        // Install: the boot into the offline update is set up and the device asked to restart.
        statuses.clear();
        operate({QStringLiteral("install"), QStringLiteral("--reboot")}, QStringLiteral("Install"),
            {true}, &statuses);
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        QCOMPARE(readFile(UpdateInfoFile), QByteArray("[General]\nversion=4.6.0\n"));
        QCOMPARE(QFile::symLinkTarget(TriggerLink), UpdateInfoFile);
        QCOMPARE(recordedCalls(LipstickService, LipstickPath),
            QStringList {QStringLiteral("setShutdownMode(upgrade)")});
        QTRY_COMPARE(
            recordedCalls(DsmeService, DsmePath), QStringList {QStringLiteral("req_reboot()")});
        QVERIFY(!QFile::exists(CacheFile));
        QCOMPARE(BusClient::status(), Idle);
        QCOMPARE(ssuRelease(), CurrentRelease);
    }

    void install_data()
    {
        QTest::addColumn<QString>("atTrigger");
        QTest::addColumn<bool>("directoryBlocked");
        QTest::addColumn<bool>("reboot");
        QTest::addColumn<QString>("error");

        QTest::newRow("no reboot") << "" << false << false << "";
        QTest::newRow("regular file at the trigger") << "file" << false << true << "";
        QTest::newRow("link to elsewhere at the trigger")
            << "/etc/ssu/ssu.ini" << false << true << "";
        QTest::newRow("dangling link at the trigger")
            << "/nonexistent/update_info.ini" << false << true
            << "Failed to create a symlink to update info file";
        QTest::newRow("file in place of the update directory")
            << "" << true << true << "Failed to create a directory: /var/lib/zovoveva-update";
    }

    void install()
    {
        QFETCH(QString, atTrigger);
        QFETCH(bool, directoryBlocked);
        QFETCH(bool, reboot);
        QFETCH(QString, error);

        if (atTrigger == QLatin1String("file"))
            writeFile(TriggerLink, "old trigger\n");
        else if (!atTrigger.isEmpty())
            QVERIFY(QFile::link(atTrigger, TriggerLink));
        if (directoryBlocked) {
            QVERIFY(QDir().rmdir(UpdateDirectory));
            writeFile(UpdateDirectory, "not a directory\n");
        }
        startPrepared(true);

        BusSignal errors(QStringLiteral("Error"));
        callDaemon(QStringLiteral("Install"), {reboot});
        QVERIFY(BusClient::waitForStatus(Idle));
        // The home screen learns of the upgrade before anything can fail.
        QCOMPARE(recordedCalls(LipstickService, LipstickPath),
            QStringList {QStringLiteral("setShutdownMode(upgrade)")});

        if (error.isEmpty()) {
            QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
            QCOMPARE(readFile(UpdateInfoFile), QByteArray("[General]\nversion=4.6.0\n"));
            QCOMPARE(QFile::symLinkTarget(TriggerLink), UpdateInfoFile);
            QVERIFY(!QFile::exists(CacheFile));
            // Replacing a link must not touch what it pointed to.
            if (atTrigger.startsWith(QLatin1Char('/')))
                QVERIFY(QFileInfo(atTrigger).isFile());
            if (reboot) {
                QTRY_COMPARE(recordedCalls(DsmeService, DsmePath),
                    QStringList {QStringLiteral("req_reboot()")});
                return;
            }
        } else {
            QTRY_COMPARE(errors.spy().count(), 1);
            QCOMPARE(errorAt(errors, 0).code, IOError);
            QCOMPARE(errorAt(errors, 0).text, error);
            // Nothing was installed: the update stays downloaded and stored.
            QVERIFY(QFile::exists(CacheFile));
            QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), true);
            if (!atTrigger.isEmpty())
                QCOMPARE(QFileInfo(TriggerLink).symLinkTarget(), atTrigger);
        }
        // The request would come right after the install; give it the time to show up.
        QTest::qWait(1000);
        QCOMPARE(recordedCalls(DsmeService, DsmePath), QStringList());
    }

    void packageKitFailures_data()
    {
        QTest::addColumn<QString>("match");
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("downloadAttempts");

        // A size query that fails leaves no update to download: downloadAttempts -1.
        QTest::newRow("size query")
            << "^UpgradeSystem 6 ext::query-sizes:" << -1 << "No sizes today" << -1;
        QTest::newRow("simulation")
            << "^UpgradeSystem 6 tessaro-configuration-x1 " << -1 << "Dependency trouble" << 0;
        QTest::newRow("resolve") << "^Resolve " << -1 << "Resolve refused" << 0;
        QTest::newRow("three download failures, then success")
            << "^UpgradeSystem 2 " << 3 << "" << 4;
        QTest::newRow("four download failures")
            << "^UpgradeSystem 2 " << 4 << "Mirror unreachable" << 4;
    }

    void packageKitFailures()
    {
        QFETCH(QString, match);
        QFETCH(int, times);
        QFETCH(QString, error);
        QFETCH(int, downloadAttempts);

        writePackageSystem({{QStringLiteral("faults"),
            QJsonArray {
                fault(match, error.isEmpty() ? QStringLiteral("Retry me") : error, times)}}});
        startDaemon();
        BusSignal errors(QStringLiteral("Error"));
        callDaemon(QStringLiteral("Check"), {QStringLiteral("latest"), true});
        QVERIFY(BusClient::waitForStatus(Idle, 30000));
        if (downloadAttempts < 0) {
            QTRY_COMPARE(errors.spy().count(), 1);
            QCOMPARE(errorAt(errors, 0).code, PackageError);
            QCOMPARE(errorAt(errors, 0).text, error);
            QCOMPARE(BusClient::property(QStringLiteral("size")).toLongLong(), -1);
            verifyReleaseRestored();
            return;
        }
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        verifyReleaseRestored();

        callDaemon(QStringLiteral("Download"));
        QVERIFY(BusClient::waitForStatus(Idle, 60000));
        if (error.isEmpty()) {
            QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
            QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), true);
        } else {
            QTRY_COMPARE(errors.spy().count(), 1);
            QCOMPARE(errorAt(errors, 0).code, PackageError);
            QCOMPARE(errorAt(errors, 0).text, error);
            QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), false);
        }
        QCOMPARE(countStartingWith(packageKitCalls(), QStringLiteral("UpgradeSystem 2 ")),
            downloadAttempts);
        verifyReleaseRestored();
    }

    void cancelDuringDownload()
    {
        writePackageSystem(
            {{QStringLiteral("durations"), QJsonObject {{QStringLiteral("download"), 10}}}});
        startPrepared(false);
        BusSignal errors(QStringLiteral("Error"));
        BusSignal progress(QStringLiteral("DownloadProgress"));
        callDaemon(QStringLiteral("Download"));
        QTRY_VERIFY_WITH_TIMEOUT(progress.spy().count() >= 2, 15000);
        QCOMPARE(BusClient::status(), Downloading);

        callDaemon(QStringLiteral("CancelDownload"));
        QVERIFY(BusClient::waitForStatus(Idle, 10000));
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        QVERIFY(packageKitCalls().contains(QStringLiteral("Cancel UpgradeSystem")));
        QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), false);
        // A cancelled download is stored, with the bytes it had reached.
        const qlonglong reached =
            BusClient::property(QStringLiteral("downloadedSize")).toLongLong();
        QVERIFY(reached > 0 && reached < DownloadSize);
        QCOMPARE(cachedInfo().value(QStringLiteral("isDownloaded")).toBool(true), false);
        QCOMPARE(cachedInfo().value(QStringLiteral("downloadedSize")).toDouble(), double(reached));
        verifyReleaseRestored();
    }

    // The daemon dies while it runs a transaction on the target release; its next start puts
    // the device back on its own release before doing anything else.
    void releaseRestoredAfterCrash()
    {
        writePackageSystem(
            {{QStringLiteral("durations"), QJsonObject {{QStringLiteral("UpgradeSystem"), 4}}}});
        plantCache(false);
        startDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(packageKitCalls().contains(SizeQuery), 15000);
        QCOMPARE(readFile(ReleaseRecoveryFile), CurrentRelease.toUtf8());
        QCOMPARE(ssuRelease(), TargetRelease);

        m_daemon->kill();
        QTest::qWait(500);
        QCOMPARE(ssuRelease(), TargetRelease);
        QCOMPARE(readFile(ReleaseRecoveryFile), CurrentRelease.toUtf8());

        QFile::remove(SsuCallLog);
        configurePackageKit(R"({"durations": {}})");
        BusSignal errors(QStringLiteral("Error"));
        startDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(!ssuReleaseSwitches().isEmpty(), 10000);
        QCOMPARE(ssuReleaseSwitches().first(), CurrentRelease);
        // The new preparation waits behind the dead daemon's size query.
        QVERIFY(BusClient::waitForStatus(Idle, 30000));
        QVERIFY2(errors.spy().isEmpty(), qPrintable(errorsText(errors)));
        verifyReleaseRestored();
        QCOMPARE(
            ssuReleaseSwitches(), (QStringList {CurrentRelease, TargetRelease, CurrentRelease}));
    }

    void packageKitUnavailable()
    {
        // A state the stand-in refuses: every attempt to start it ends at once.
        writeFile(PackageKitState, R"({"no such key": true})");
        startDaemon();
        BusSignal errors(QStringLiteral("Error"));
        callDaemon(QStringLiteral("Check"), {QStringLiteral("latest"), true});
        QVERIFY(BusClient::waitForStatus(Idle, 60000));
        QTRY_COMPARE(errors.spy().count(), 1);
        // The bus's word on the failed start reaches the client unchanged.
        QCOMPARE(errorAt(errors, 0).code, PackageError);
        QVERIFY2(errorAt(errors, 0).text.contains(QLatin1String("org.freedesktop.PackageKit")),
            qPrintable(errorAt(errors, 0).text));

        // The daemon is not left busy: the next job is taken, and fails the same way.
        callDaemon(QStringLiteral("Download"));
        QVERIFY(BusClient::waitForStatus(Idle, 60000));
        QTRY_COMPARE(errors.spy().count(), 2);
        QCOMPARE(errorAt(errors, 1).code, PackageError);
        QVERIFY(!errorAt(errors, 1).text.isEmpty());
        QCOMPARE(BusClient::property(QStringLiteral("isDownloaded")).toBool(), false);
        QVERIFY(m_daemon->isRunning());
    }

private:
    ReleaseServer m_server;
    QScopedPointer<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestPackageUpdate)
#include "tst_packageupdate.moc"
