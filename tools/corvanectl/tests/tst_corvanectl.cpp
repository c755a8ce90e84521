// corvanectl's exit codes and messages for bad command lines, an unreachable daemon, refusals
// and failed operations, against the real daemon on the device's system bus. The demo walks both
// update methods through corvanectl, and the package update test uses its status and timeout.
#include "busclient.h"
#include "daemonprocess.h"
#include "releaseserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

class TestCorvaneCtl : public QObject
{
    Q_OBJECT

private slots:
    void init() { QFile::remove(QStringLiteral("/home/.system-updates/os-info.json")); }

    void cleanup() { m_daemon.reset(); }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("daemon");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");

        // corvanectl runs behind env or setpriv where a row says so. The command line is judged
        // before the bus is touched, so those rows have no bus.
        const QStringList noBus {"env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/none"};
        const QString usage = QStringLiteral("^corvanectl[ a-z-]*: .*\nTry 'corvanectl");
        QTest::newRow("unknown command") << "" << noBus << QStringList {"upgrade"} << 2 << usage;
        QTest::newRow("bad timeout")
            << "" << noBus << QStringList {"download", "--timeout", "soon"} << 2 << usage;
        QTest::newRow("option of another command")
            << "" << noBus << QStringList {"install", "--force"} << 2 << usage;
        QTest::newRow("no bus") << "" << noBus << QStringList {"status"} << 4
                                << "^corvanectl: the system bus at unix:path=/none cannot be "
                                   "reached .*\nhint: is DBUS_SYSTEM_BUS_ADDRESS right";
        QTest::newRow("no daemon")
            << "" << QStringList() << QStringList {"check"} << 4
            << "^corvanectl: the update daemon \\(org.tessaro.Corvane\\) is "
               "not running and the system bus could not start it .*\nhint: ";
        // The check finds nothing to do and sends no signal: corvanectl must still end.
        QTest::newRow("check keeps the stored update")
            << "stored" << QStringList() << QStringList {"check"} << 0
            << "did not ask the release server \\(--force makes it ask\\)\\.\nversion: "
               "+4\\.1\\.0\n";
        QTest::newRow("unprivileged")
            << "fresh" << QStringList {"setpriv", "--reuid=2003", "--regid=100", "--init-groups"}
            << QStringList {"install"} << 3
            << "^error: access denied: PID \\d+ is not in privileged group\nhint: .*root";
    }

    void exitCodes()
    {
        QFETCH(QString, daemon);
        QFETCH(QStringList, before);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);

        QDir().mkpath(QStringLiteral("/home/.system-updates"));
        QFile cache(QStringLiteral("/home/.system-updates/os-info.json"));
        if (daemon == QLatin1String("stored") && cache.open(QIODevice::WriteOnly)) {
            cache.write(R"({"methods": [{"method": 1, "info": {"version": "4.1.0",
                "lastChecked": 1700000000000, "size": 3145728}}]})");
            cache.close();
        }
        if (!daemon.isEmpty()) {
            m_daemon.reset(new DaemonProcess());
            QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
            QVERIFY(BusClient::waitForStatus(0));
        }
        // A hang fails as well.
        const QStringList command =
            before + QStringList {qEnvironmentVariable("CORVANECTL_BINARY")} + arguments;
        const ToolResult run = BusClient::run(command.first(), command.mid(1), 60000);
        const QString said =
            QStringLiteral("exit %1\n%2%3").arg(run.exitCode).arg(run.out, run.err);
        QVERIFY2(run.exitCode == exitCode, qPrintable(said));
        QVERIFY2(QRegularExpression(output).match(run.out + run.err).hasMatch(), qPrintable(said));
        // An operation is waited for to its end: the daemon rests when corvanectl returns.
        if (!daemon.isEmpty())
            QCOMPARE(BusClient::status(), 0);
    }

    // The Error that refuses a second client goes to every listener; the first client must not
    // take it as the outcome of its own operation.
    void refusalOfAnotherClient()
    {
        // A release server that takes the connection and never answers keeps the check going.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        ReleaseServer::configureDevice(
            QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()), "x1", "4.0.0");
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
        const QString corvanectl = qEnvironmentVariable("CORVANECTL_BINARY");
        QProcess first;
        first.start(corvanectl, {"check", "--force", "--timeout", "3"});
        QVERIFY(BusClient::waitForStatus(1));

        const ToolResult second = BusClient::run(corvanectl, {"download"}, 60000);
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.err.contains("BusyError"), qPrintable(second.err));
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 5);
        QVERIFY(first.readAllStandardError().contains("the daemon's status is Checking"));
    }

private:
    std::unique_ptr<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestCorvaneCtl)
#include "tst_corvanectl.moc"
