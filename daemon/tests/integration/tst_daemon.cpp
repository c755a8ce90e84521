// The corvane process as a system service: when it refuses to start, its exit after a minute of
// idleness, and bus activation. The slow functions each run in their own sandbox (see CMake).
#include "busclient.h"
#include "daemonprocess.h"
#include "packagekitstandin.h"
#include "releaseserver.h"
#include "ssusettings.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

namespace {

const QByteArray PackageUpdate = R"({"devices": [{"device": "x1", "latestRelease": "4.6.0",
    "releases": [{"version": "4.6.0", "updateMethods": [{"method": "Package"}]}]}]})";
const QByteArray PackageSystem = R"({
  "release_file": "/etc/ssu/ssu.ini",
  "repositories": [{"id": "adaptation0"}, {"id": "tessaro"}],
  "installed": ["tessaro-configuration-x1;4.5.0;noarch;tessaro"],
  "releases": {"4.6.0": {"packages": {"tessaro": ["tessaro-configuration-x1;4.6.0;noarch"]},
                         "sizes": {"download": 123456, "install": 654321, "remove": 0}}}
})";

bool isRunning()
{
    return QDBusConnection::systemBus().interface()->isServiceRegistered(BusClient::Service);
}

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT

private slots:
    void refusesToStart_data()
    {
        QTest::addColumn<bool>("oldServiceRuns");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");

        QTest::newRow("old service")
            << true << QStringList()
            << "Old service is running. Stop it before using this service.";
        QTest::newRow("unknown option")
            << false << QStringList {"--no-shutdown", "--bogus"} << "Unknown option 'bogus'.";
    }

    void refusesToStart()
    {
        QFETCH(bool, oldServiceRuns);
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);

        const QString oldService = QStringLiteral("org.vidivozeda.osupdate");
        if (oldServiceRuns)
            QVERIFY(QDBusConnection::systemBus().registerService(oldService));
        DaemonProcess daemon(arguments);
        daemon.startDetachedFromBus();
        QVERIFY(daemon.waitForExit(15000));
        QDBusConnection::systemBus().unregisterService(oldService);
        QCOMPARE(daemon.exitCode(), 1);
        QVERIFY2(daemon.log().contains(message), qPrintable(daemon.log()));
        QVERIFY(!isRunning());
    }

    void exitsWhenIdle()
    {
        QElapsedTimer clock;
        clock.start();
        DaemonProcess daemon(QStringList {});
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
        // Reading properties does not count as activity.
        QCOMPARE(BusClient::status(), 0);
        QVERIFY(!daemon.waitForExit(50000));
        QVERIFY(daemon.waitForExit(20000));
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QVERIFY2(clock.elapsed() >= 59000, qPrintable(QString::number(clock.elapsed())));
        // Log records carry file, line and function, and the text starts with the function.
        const QRegularExpression record(
            QStringLiteral("service\\.cpp:\\d+ Corvane::Service::~Service: .*::~Service\\(\\) "
                           "Service is destroyed"));
        QVERIFY2(daemon.log().contains(record), qPrintable(daemon.log()));
    }

    void staysWithNoShutdown()
    {
        DaemonProcess daemon({QStringLiteral("--no-shutdown")});
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
        QVERIFY(!daemon.waitForExit(65000));
        QCOMPARE(BusClient::status(), 0);
    }

    // The method current when the cache was written is current again after each start, and
    // the supported methods keep their order: neither may follow a hash seed that changes with
    // every process.
    void keepsTheMethodAcrossRestarts()
    {
        writeDaemonCache(R"({"methods": [
            {"method": 2, "info": {"version": "4.6.0", "lastChecked": 1700000000000}},
            {"method": 1, "info": {"version": "4.6.0", "lastChecked": 1700000000000}}]})");
        for (int start = 0; start < 10; ++start) {
            DaemonProcess daemon;
            QVERIFY2(daemon.start(), qPrintable(daemon.log()));
            QVERIFY2(
                BusClient::supportedMethods() == (QList<int> {2, 1}), qPrintable(daemon.log()));
            QVERIFY2(BusClient::method() == 2, qPrintable(daemon.log()));
            // Whatever the preparation ends in, the cache still names the reset method first.
            QVERIFY(BusClient::waitForStatus(0, 30000));
        }
    }

    // Started by the bus on the first call, gone after a minute of idleness, and back on the
    // next call with what it had learnt.
    void startsOnDemandAndRemembers()
    {
        ReleaseServer server;
        QVERIFY(server.start());
        server.serve(QStringLiteral("metav2"), PackageUpdate);
        SsuSettings ssu(server.address());
        ssu.release = QStringLiteral("4.5.0");
        ssu.write();
        PackageKitStandIn::restartWith(PackageSystem);

        QVERIFY(!isRunning());
        QCOMPARE(BusClient::status(), 0);
        QVERIFY(isRunning());

        BusSignal errors(QStringLiteral("Error"));
        const QStringList check {"latest", "false"};
        QVERIFY(BusClient::callMethod(QStringLiteral("Check"), check));
        QTRY_COMPARE_WITH_TIMEOUT(BusClient::property("size").toLongLong(), 123456, 30000);
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(errors.spy().count(), 0);
        const qint64 lastChecked = BusClient::property("lastChecked").toLongLong();

        // Asking the bus who owns the name is no call to the daemon.
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(), 90000);

        QCOMPARE(BusClient::property("version").toString(), QStringLiteral("4.6.0"));
        QVERIFY(isRunning());
        QCOMPARE(BusClient::method(), 1);
        QCOMPARE(BusClient::property("lastChecked").toLongLong(), lastChecked);
        QVERIFY(BusClient::waitForStatus(0, 30000));
        QCOMPARE(BusClient::property("size").toLongLong(), 123456);

        // With what it knows, a check without force fetches nothing.
        server.clearLog();
        QVERIFY(BusClient::callMethod(QStringLiteral("Check"), check));
        QTest::qWait(500);
        QCOMPARE(server.requestLines(), QStringList());
        QCOMPARE(BusClient::status(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
