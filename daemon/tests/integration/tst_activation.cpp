// The daemon started by the bus on the first call, gone after a minute of idleness, and back
// on the next call with what it had learnt.
#include "busclient.h"
#include "releaseserver.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
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

class TestActivation : public QObject
{
    Q_OBJECT

private slots:
    void startsOnDemandAndRemembers()
    {
        ReleaseServer server;
        QVERIFY(server.start());
        server.serve(QStringLiteral("metav2"), PackageUpdate);
        server.configureDevice(QStringLiteral("x1"), QStringLiteral("4.5.0"));
        QDir().mkpath(QStringLiteral("/etc/packagekit-standin"));
        QFile state(QStringLiteral("/etc/packagekit-standin/state.json"));
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(PackageSystem);
        state.close();

        QVERIFY(!isRunning());
        // The first call of a client starts the daemon.
        QCOMPARE(BusClient::status(), 0);
        QVERIFY(isRunning());

        BusSignal errors(QStringLiteral("Error"));
        const ToolResult check = BusClient::gdbus(
            {QStringLiteral("call"), QStringLiteral("--system"), QStringLiteral("--dest"),
                BusClient::Service, QStringLiteral("--object-path"), BusClient::Path,
                QStringLiteral("--method"), BusClient::Interface + QStringLiteral(".Check"),
                QStringLiteral("latest"), QStringLiteral("false")});
        QVERIFY2(check.exitCode == 0, qPrintable(check.err));
        QTRY_COMPARE_WITH_TIMEOUT(
            BusClient::property(QStringLiteral("size")).toLongLong(), 123456, 30000);
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(errors.spy().count(), 0);

        // A minute of idleness ends it.
        QDBusServiceWatcher watcher(BusClient::Service, QDBusConnection::systemBus(),
            QDBusServiceWatcher::WatchForUnregistration);
        QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
        QVERIFY(gone.wait(90000));
        QVERIFY(!isRunning());

        // The next call brings it back, with what it knew.
        QCOMPARE(
            BusClient::property(QStringLiteral("version")).toString(), QStringLiteral("4.6.0"));
        QVERIFY(isRunning());
        QCOMPARE(BusClient::method(), 1);
        QVERIFY(BusClient::waitForStatus(0, 30000));
        QCOMPARE(BusClient::property(QStringLiteral("size")).toLongLong(), 123456);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "tst_activation.moc"
