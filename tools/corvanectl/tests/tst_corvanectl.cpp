// corvanectl's exit codes and messages for bad command lines, an unreachable daemon, refusals
// and failed operations, against the real daemon on the device's system bus. The demo walks both
// update methods through corvanectl, and the package update test uses its status and timeout.
#include "busclient.h"
#include "daemonprocess.h"
#include "ssusettings.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <csignal>
#include <sys/types.h>

class TestCorvaneCtl : public QObject
{
    Q_OBJECT

private slots:
    void init() { QFile::remove(QStringLiteral("/home/.system-updates/os-info.json")); }

    void cleanup() { m_daemon.reset(); }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("daemon");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");

        // corvanectl runs behind env or setpriv where a row says so. The command line is judged
        // before the bus is touched, so those rows have no bus.
        const QString ctl = corvanectlPath();
        const QStringList noBus {"env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/none", ctl};
        const QString usage = QStringLiteral("^corvanectl[ a-z-]*: .*\nTry 'corvanectl");
        QTest::newRow("unknown command") << "" << noBus + QStringList {"upgrade"} << 2 << usage;
        QTest::newRow("bad timeout")
            << "" << noBus + QStringList {"download", "--timeout", "soon"} << 2 << usage;
        QTest::newRow("option of another command")
            << "" << noBus + QStringList {"install", "--force"} << 2 << usage;
        QTest::newRow("no bus") << "" << noBus + QStringList {"status"} << 4
                                << "^corvanectl: the system bus at unix:path=/none cannot be "
                                   "reached .*\nhint: is DBUS_SYSTEM_BUS_ADDRESS right";
        QTest::newRow("no daemon")
            << "" << QStringList {ctl, "check"} << 4
            << "^corvanectl: the update daemon \\(org.tessaro.Corvane\\) is "
               "not running and the system bus could not start it .*\nhint: ";
        // The check finds nothing to do and sends no signal: corvanectl must still end.
        QTest::newRow("check keeps the stored update")
            << "stored" << QStringList {ctl, "check"} << 0
            << "did not ask the release server \\(--force makes it ask\\)\\.\nversion: "
               "+4\\.1\\.0\n";
        QTest::newRow("unprivileged")
            << "fresh" << QStringList {"setpriv"} + asUser("2003:100", {ctl, "install"}) << 3
            << "^error: access denied: PID \\d+ is not in privileged group\nhint: .*root";
    }

    void exitCodes()
    {
        QFETCH(QString, daemon);
        QFETCH(QStringList, command);
        QFETCH(int, exitCode);
        QFETCH(QString, output);

        if (daemon == QLatin1String("stored"))
            writeDaemonCache(R"({"methods": [{"method": 1, "info": {"version": "4.1.0",
                "lastChecked": 1700000000000, "size": 3145728}}]})");
        if (!daemon.isEmpty()) {
            m_daemon.reset(new DaemonProcess());
            QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
            QVERIFY(BusClient::waitForStatus(0));
        }
        // A hang fails as well.
        QVERIFY(BusClient::run(command.first(), command.mid(1), 60000).ends(exitCode, output));
        // An operation is waited for to its end: the daemon rests when corvanectl returns.
        if (!daemon.isEmpty())
            QCOMPARE(BusClient::status(), 0);
    }

    // Every command the overview lists has its own help, with the options of its synopsis.
    void commandHelp()
    {
        const ToolResult overview = corvanectl({"--help"}, 10000);
        QVERIFY(overview.ends(0, "Commands:\n"));
        const QStringList lines = overview.out.section("Commands:\n", 1)
                                      .section("\n\n", 0, 0)
                                      .split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 8);
        for (const QString &line : lines) {
            const QString name = line.trimmed().section(' ', 0, 0);
            const ToolResult help = corvanectl({name, "--help"}, 10000);
            QVERIFY(help.ends(0, "^Usage: corvanectl " + name + ' '));
            const QRegularExpression option(QStringLiteral("--[a-z]+"));
            for (auto match = option.globalMatch(line); match.hasNext();) {
                const QString flag = match.next().captured();
                QVERIFY2(help.out.contains(QStringLiteral("  ") + flag), qPrintable(name + flag));
            }
        }
    }

    // monitor prints each signal with a timestamp and ends cleanly on SIGTERM, on SIGINT, or
    // after --count signals.
    void monitor_data()
    {
        QTest::addColumn<int>("signal"); // 0: --count 2
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("--count 2") << 0;
    }

    void monitor()
    {
        QFETCH(int, signal);
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
        QProcess monitor;
        monitor.start(corvanectlPath(),
            signal ? QStringList {"monitor"} : QStringList {"monitor", "--count", "2"});
        // The macro evaluates its condition again at the end: what was read is kept.
        QByteArray greeting;
        QTRY_VERIFY((greeting += monitor.readAllStandardError()).contains("Monitoring "));
        // No method is supported yet: the daemon answers with an Error and a status change.
        QVERIFY(BusClient::callMethod("SetMethod", {"(1,)"}));
        const QString stamp = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
        const QRegularExpression expected(stamp +
                "Error InternalError \\(\\d+\\): Method is not supported\n" + stamp +
                "statusChanged status = Idle\n",
            QRegularExpression::MultilineOption);
        QString output;
        QTRY_VERIFY2(expected.match(output += monitor.readAllStandardOutput()).hasMatch(),
            qPrintable(output));
        if (signal)
            ::kill(pid_t(monitor.processId()), signal);
        QVERIFY(BusClient::finish(monitor, 5000).ends(0));
    }

    // Started by the bus with an update in its cache, the daemon prepares it at once: status
    // answers at once, an operation waits for the preparation, within its timeout.
    void waitsForABusyDaemon()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        // The reset method names its image after the device's features.
        SsuSettings ssu(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()));
        ssu.features = QStringLiteral("store");
        ssu.write();
        writeDaemonCache(R"({"methods": [{"method": 2, "info": {"version": "4.6.0",
            "lastChecked": 1700000000000}}]})");

        QVERIFY(corvanectl({"status"}, 10000).ends(0, "Preparing"));
        QVERIFY(corvanectl({"check", "--timeout", "2"}, 30000)
                    .ends(5, "\\(its status is Preparing\\); the check was not started"));

        QProcess waiting;
        waiting.start(corvanectlPath(), {"check", "--timeout", "60"});
        QVERIFY(waiting.waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(waiting.state(), QProcess::Running);
        // Refused connections end the preparation with an error; the check starts after it.
        silent.close();
        QVERIFY(BusClient::finish(waiting, 60000).ends(0, "did not ask the release server"));
    }

private:
    std::unique_ptr<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestCorvaneCtl)
#include "tst_corvanectl.moc"
