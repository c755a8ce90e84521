// The package update method in the running daemon, driven through corvanectl, with the
// PackageKit and SSU stand-ins behind it. The transactions, the manager and the install have
// their own test.
#include "busclient.h"
#include "daemonprocess.h"
#include "fileio.h"
#include "packagekitstandin.h"
#include "polkitmock.h"
#include "releaseserver.h"
#include "ssuintegration.h"
#include "ssusettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

const QString CacheFile = QStringLiteral("/home/.system-updates/os-info.json");
const QString ReleaseRecoveryFile = QStringLiteral("/home/.system-updates/ssu-version");
const QString ReposRecoveryFile = QStringLiteral("/home/.system-updates/disabled-repos");
const QString SsuCallLog = QStringLiteral("/etc/ssu/calls.log");

// The device runs 4.5.0 from the repositories SSU lists and has a game from the store, which
// 4.6.0 drops. The vendor's repository is on too; the user turned the beta one off. The
// configuration package of 4.6.0 exists only in 4.6.0, so a size query that is not run on the
// target release fails.
const QByteArray PackageSystem = R"({
    "release_file": "/etc/ssu/ssu.ini",
    "repositories": [{"id": "adaptation0"}, {"id": "tessaro"}, {"id": "store"}, {"id": "vendor"},
                     {"id": "beta", "enabled": false}],
    "installed": ["tessaro-configuration-x1;4.5.0;noarch;tessaro",
                  "kernel;4.5.0;armv7hl;adaptation0", "game;2.0;armv7hl;store"],
    "releases": {"4.6.0": {
        "packages": {"tessaro": ["tessaro-configuration-x1;4.6.0;noarch"],
                     "adaptation0": ["kernel;4.6.0;armv7hl"]},
        "obsoletes": ["game"], "sizes": {"download": 9000000, "install": 3000, "remove": 1000}}},
    "durations": {"UpgradeSystem": 0.3}
})";

const QJsonObject status()
{
    return QJsonDocument::fromJson(corvanectl({"status", "--json"}).out.toUtf8()).object();
}

const QJsonObject cachedInfo()
{
    return QJsonDocument::fromJson(readFile(CacheFile))["methods"][0]["info"].toObject();
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

    // After each job the target release is switched back, every repository is as it was,
    // and the recovery files are gone.
    void verifyReleaseRestored(bool packageKitRuns = true)
    {
        QTRY_COMPARE(Corvane::SsuIntegration().release(), QStringLiteral("4.5.0"));
        QTRY_VERIFY(!QFile::exists(ReleaseRecoveryFile));
        if (!packageKitRuns)
            return;
        QTRY_VERIFY(!QFile::exists(ReposRecoveryFile));
        QTRY_VERIFY_WITH_TIMEOUT(PackageKitStandIn::idle(), 10000);
        QCOMPARE(PackageKitStandIn::repositories(), m_repositories);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_server.serve(QStringLiteral("metav2"),
            R"({"devices": [{"device": "x1", "latestRelease": "4.6.0", "releases": [
                {"version": "4.6.0", "updateMethods": [{"method": "Package"}]}]}]})");
    }

    void init()
    {
        PolkitMock::releaseAll();
        PackageKitStandIn::restartWith(PackageSystem);
        QFile::remove(CacheFile);
        QFile::remove(ReleaseRecoveryFile);
        QFile::remove(ReposRecoveryFile);
        SsuSettings ssu(m_server.address());
        ssu.release = QStringLiteral("4.5.0");
        ssu.write();
        m_repositories = PackageKitStandIn::repositories();
    }

    void cleanup() { m_daemon.reset(); }

    void checkAndCancelledDownload()
    {
        startDaemon();
        QCOMPARE(corvanectl({"check"}).exitCode, 0);
        // A script reads every property, and the status and method by name as well.
        QCOMPARE(status().size(), 15 + 3);
        QCOMPARE(status()["size"].toDouble(), 9000000.0);
        QCOMPARE(cachedInfo()["installSize"].toInt(), 2000);
        verifyReleaseRestored();

        // corvanectl gives up waiting; the download goes on until it is cancelled.
        PackageKitStandIn::configure(R"({"durations": {"download": 10}})");
        const ToolResult download = corvanectl({"download", "--timeout", "1"});
        QCOMPARE(download.exitCode, 5);
        QVERIFY(download.err.contains("the daemon's status is Downloading"));
        QTRY_VERIFY(BusClient::property("downloadedSize").toLongLong() > 0);
        QCOMPARE(corvanectl({"cancel"}).out, QStringLiteral("Download cancelled.\n"));
        QVERIFY(PackageKitStandIn::calls().contains("Cancel UpgradeSystem"));
        const QJsonObject after = status();
        QCOMPARE(after["statusName"].toString(), QStringLiteral("Idle"));
        QCOMPARE(after["packagesToRemove"], QJsonValue(QJsonArray {"game;2.0;armv7hl;store"}));
        QVERIFY(after["downloadedSize"].toDouble() < 9000000);
        // A cancelled download is stored, with the bytes it had reached.
        QCOMPARE(cachedInfo()["downloadedSize"], after["downloadedSize"]);
        QCOMPARE(cachedInfo()["isDownloaded"].toBool(true), false);
        verifyReleaseRestored();
    }

    void failures_data()
    {
        QTest::addColumn<QString>("match");
        QTest::addColumn<bool>("afterCheck");
        QTest::newRow("size query") << "^UpgradeSystem 6 ext::" << false;
        QTest::newRow("simulation") << "^UpgradeSystem 6 tessaro" << true;
        QTest::newRow("resolve") << "^Resolve " << true;
        QTest::newRow("download") << "^UpgradeSystem 2 " << true;
        QTest::newRow("PackageKit cannot start") << "" << false;
    }

    // Whichever step fails, the client gets PackageKit's text as a PackageError, the daemon
    // rests, and the device is back on its release.
    void failures()
    {
        QFETCH(QString, match);
        QFETCH(bool, afterCheck);

        // A state the stand-in refuses makes every attempt to start it end at once.
        if (match.isEmpty())
            PackageKitStandIn::restartWith(R"({"no such key": true})");
        startDaemon();
        if (afterCheck)
            QCOMPARE(corvanectl({"check"}).exitCode, 0);
        if (!match.isEmpty())
            PackageKitStandIn::configure(QString(R"({"faults": [{"match": "%1"}]})").arg(match));
        const ToolResult run = corvanectl({afterCheck ? "download" : "check"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith("error: PackageError: ") &&
                run.err.contains(
                    match.isEmpty() ? "org.freedesktop.PackageKit" : "Simulated failure"),
            qPrintable(run.err));
        QCOMPARE(BusClient::status(), 0);
        verifyReleaseRestored(!match.isEmpty());
    }

    void releasedWhileBusy_data()
    {
        QTest::addColumn<QString>("configuration");
        QTest::addColumn<int>("heldChange");
        QTest::addColumn<QString>("waitFor");
        QTest::addColumn<QStringList>("then");

        const QStringList setMethod {"SetMethod", "(1,)"};
        const QStringList check {"Check", "latest", "true"};
        const QStringList download {"Download"};
        // The download's repository changes, in order: 1 and 2 isolate the simulation, 3 and 4
        // restore after it, 5 and 6 isolate the download.
        QTest::newRow("cancelled while isolating, then set-method") << "{}" << 2 << "" << setMethod;
        QTest::newRow("cancelled while the simulation runs, then check --force")
            << R"({"durations": {"UpgradeSystem": 1.5}})" << 0 << "^UpgradeSystem 6 tessaro"
            << check;
        QTest::newRow("cancelled while restoring, then set-method") << "{}" << 3 << "" << setMethod;
        QTest::newRow("cancelled while restoring, then download") << "{}" << 4 << "" << download;
        QTest::newRow("cancelled while the download isolates, then check --force")
            << "{}" << 6 << "" << check;
        QTest::newRow("cancelled while downloading, then set-method")
            << R"({"durations": {"download": 5}})" << 0 << "^UpgradeSystem 2 " << setMethod;
        QTest::newRow("simulation fails, then set-method")
            << R"({"faults": [{"match": "^UpgradeSystem 6 tessaro", "times": 1}]})" << 3 << ""
            << setMethod;
        QTest::newRow("isolation refused, then download")
            << R"({"faults": [{"match": "^RepoEnable vendor false", "times": 1,
                 "details": "Failed to obtain authentication."}]})"
            << 0 << "" << download;
        // Recorded, and enabled by the next repository change without a restart.
        QTest::newRow("restore refused, then download")
            << R"({"faults": [{"match": "^RepoEnable vendor true", "times": 1}]})" << 0 << ""
            << download;
    }

    // A download ends while its repository changes are under way; the next job follows at
    // once: the daemon lives on, the next job ends well, and the device ends as it was.
    void releasedWhileBusy()
    {
        QFETCH(QString, configuration);
        QFETCH(int, heldChange);
        QFETCH(QString, waitFor);
        QFETCH(QStringList, then);

        startDaemon();
        QCOMPARE(corvanectl({"check"}).exitCode, 0);
        PackageKitStandIn::configure(configuration);
        if (heldChange > 0)
            PolkitMock::hold(PolkitMock::ConfigureSources);
        QVERIFY(BusClient::callMethod(QStringLiteral("Download")));
        if (heldChange > 0)
            QVERIFY(PolkitMock::waitForHeld(heldChange));
        if (!waitFor.isEmpty())
            QVERIFY(PackageKitStandIn::waitForCall(waitFor));
        if (!configuration.contains("faults"))
            QVERIFY(BusClient::callMethod(QStringLiteral("CancelDownload")));
        if (heldChange > 0) {
            // The download is over, but the device is not back yet: the daemon says so, and
            // refuses to let go of the package method or to start another job.
            BusSignal errors(QStringLiteral("Error"));
            QVERIFY(BusClient::callMethod(then.first(), then.mid(1)));
            QTRY_COMPARE(errors.spy().size(), 1);
            QCOMPARE(errors.spy().first().first().toList().at(1).toString(),
                QStringLiteral("Corvane is busy"));
            QCOMPARE(BusClient::status(), 3);
            PolkitMock::releaseAll();
        }
        QVERIFY(BusClient::waitForStatus(0));
        QVERIFY(BusClient::callMethod(then.first(), then.mid(1)));
        // The new job ends well: downloaded, or prepared again.
        if (then.first() == QLatin1String("Download")) {
            QTRY_VERIFY_WITH_TIMEOUT(BusClient::property("isDownloaded").toBool(), 30000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(
                BusClient::property("size").toLongLong(), Q_INT64_C(9000000), 30000);
        }
        QVERIFY(BusClient::waitForStatus(0, 30000));
        QVERIFY2(m_daemon->isRunning(), qPrintable(m_daemon->log().right(3000)));
        verifyReleaseRestored();
        SsuSettings::verifyReleaseRoundTrips(QStringLiteral("4.5.0"), QStringLiteral("4.6.0"));
    }

    void killedMidTransaction_data()
    {
        QTest::addColumn<int>("heldChange");
        QTest::addColumn<QString>("waitFor");

        // The preparation's repository changes: 1 and 2 isolate, 3 and 4 restore.
        QTest::newRow("isolating") << 2 << "";
        QTest::newRow("running") << 0 << "^UpgradeSystem 6 ext::query-sizes:";
        QTest::newRow("restoring") << 3 << "";
    }

    // The daemon dies while it has the target release switched in and repositories off; its
    // next start puts both back before it looks at the repositories itself.
    void killedMidTransaction()
    {
        QFETCH(int, heldChange);
        QFETCH(QString, waitFor);

        writeFile(CacheFile, R"({"methods": [{"method": 1, "info": {"version": "4.6.0",
            "lastChecked": 1700000000000, "size": 1000, "installSize": 1000}}]})");
        PackageKitStandIn::configure(R"({"durations": {"UpgradeSystem": 4}})");
        if (heldChange > 0)
            PolkitMock::hold(PolkitMock::ConfigureSources);
        startDaemon();
        if (heldChange > 0)
            QVERIFY(PolkitMock::waitForHeld(heldChange));
        else
            QVERIFY(PackageKitStandIn::waitForCall(waitFor));
        QCOMPARE(readFile(ReleaseRecoveryFile), QByteArray("4.5.0"));
        QCOMPARE(readFile(ReposRecoveryFile), QByteArray("store\nvendor\n"));
        QCOMPARE(Corvane::SsuIntegration().release(), QStringLiteral("4.6.0"));

        m_daemon->kill();
        // PackageKit finishes what the dead daemon had asked for before the next one starts.
        PolkitMock::releaseAll();
        QTRY_VERIFY_WITH_TIMEOUT(PackageKitStandIn::idle(), 15000);
        QFile::remove(SsuCallLog);
        PackageKitStandIn::configure(R"({"durations": {}})");
        PackageKitStandIn::clearCalls();
        startDaemon();
        QVERIFY(BusClient::waitForStatus(0, 30000));
        QCOMPARE(status()["size"].toDouble(), 9000000.0);
        verifyReleaseRestored();
        QCOMPARE(readFile(SsuCallLog),
            QByteArray("setRelease 4.5.0 false\nsetRelease 4.6.0 false\nsetRelease 4.5.0 false\n"));
        // The left-over repositories come back first; the new preparation sees them on.
        const QStringList calls = PackageKitStandIn::calls();
        QCOMPARE(calls.mid(0, 3),
            (QStringList {"RepoEnable store true", "RepoEnable vendor true", "GetRepoList 2"}));
    }

private:
    ReleaseServer m_server;
    QJsonArray m_repositories;
    QScopedPointer<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestPackageUpdate)
#include "tst_packageupdate.moc"
