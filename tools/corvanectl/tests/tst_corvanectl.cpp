// corvanectl's exit codes and messages for bad command lines, an unreachable daemon, refusals
// and failed operations, against the real daemon on the device's system bus. The demo walks both
// update methods through corvanectl, and the package update test uses its status and timeout.
#include "busclient.h"
#include "daemonprocess.h"
#include "fileio.h"
#include "ssusettings.h"

#include <QDir>
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

    // Every command the overview lists has its own help, with the options of its synopsis.
    void commandHelp()
    {
        const QString corvanectl = qEnvironmentVariable("CORVANECTL_BINARY");
        const ToolResult overview = BusClient::run(corvanectl, {"--help"}, 10000);
        QCOMPARE(overview.exitCode, 0);
        const QString commands = overview.out.section(QStringLiteral("Commands:\n"), 1)
                                     .section(QStringLiteral("\n\n"), 0, 0);
        const QStringList lines = commands.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 8);
        for (const QString &line : lines) {
            const QString name = line.trimmed().section(' ', 0, 0);
            const ToolResult help = BusClient::run(corvanectl, {name, "--help"}, 10000);
            QVERIFY2(help.exitCode == 0 && help.out.startsWith("Usage: corvanectl " + name + ' '),
                qPrintable(name + ": " + help.out + help.err));
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
        monitor.start(qEnvironmentVariable("CORVANECTL_BINARY"),
            signal ? QStringList {"monitor"} : QStringList {"monitor", "--count", "2"});
        // The macro evaluates its condition again at the end: what was read is kept.
        QByteArray greeting;
        QTRY_VERIFY((greeting += monitor.readAllStandardError()).contains("Monitoring "));
        // No method is supported yet: the daemon answers with an Error and a status change.
        QVERIFY(BusClient::callMethod(QStringLiteral("SetMethod"), {"(1,)"}));
        const QString stamp =
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
        const QRegularExpression expected(stamp +
                QStringLiteral("Error InternalError \\(\\d+\\): Method is not supported\n") +
                stamp + QStringLiteral("statusChanged status = Idle\n"),
            QRegularExpression::MultilineOption);
        QString output;
        QTRY_VERIFY2(expected.match(output += monitor.readAllStandardOutput()).hasMatch(),
            qPrintable(output));
        if (signal)
            ::kill(pid_t(monitor.processId()), signal);
        QTRY_COMPARE_WITH_TIMEOUT(monitor.state(), QProcess::NotRunning, 5000);
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), 0);
    }

    // The Error that refuses another client goes to every listener; a client must not take it
    // as the outcome of its own operation. A second corvanectl is not refused: it waits.
    void refusalOfAnotherClient()
    {
        // A release server that takes the connection and never answers keeps the check going.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        SsuSettings(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort())).write();
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
        const QString corvanectl = qEnvironmentVariable("CORVANECTL_BINARY");
        QProcess first;
        first.start(corvanectl, {"check", "--force", "--timeout", "3"});
        QVERIFY(BusClient::waitForStatus(1));

        QVERIFY(BusClient::callMethod(QStringLiteral("Download")));
        const ToolResult second = BusClient::run(corvanectl, {"download", "--timeout", "1"}, 60000);
        QCOMPARE(second.exitCode, 5);
        QVERIFY2(second.err.contains("(its status is Checking); the download was not started"),
            qPrintable(second.err));
        QVERIFY(first.waitForFinished(30000));
        QCOMPARE(first.exitCode(), 5);
        QVERIFY(first.readAllStandardError().contains("the daemon's status is Checking"));
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
        QDir().mkpath(QStringLiteral("/home/.system-updates"));
        writeFile(QStringLiteral("/home/.system-updates/os-info.json"),
            R"({"methods": [{"method": 2, "info": {"version": "4.6.0",
                "lastChecked": 1700000000000}}]})");
        const QString corvanectl = qEnvironmentVariable("CORVANECTL_BINARY");

        const ToolResult status = BusClient::run(corvanectl, {"status"}, 10000);
        QVERIFY2(status.exitCode == 0 && status.out.contains("Preparing"),
            qPrintable(status.out + status.err));
        const ToolResult early = BusClient::run(corvanectl, {"check", "--timeout", "2"}, 30000);
        QCOMPARE(early.exitCode, 5);
        QVERIFY2(early.err.contains("(its status is Preparing); the check was not started"),
            qPrintable(early.err));

        QProcess waiting;
        waiting.start(corvanectl, {"check", "--timeout", "60"});
        QVERIFY(waiting.waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(waiting.state(), QProcess::Running);
        // Refused connections end the preparation with an error; the check starts after it.
        silent.close();
        QVERIFY(waiting.waitForFinished(60000));
        const QString said =
            QString::fromUtf8(waiting.readAllStandardOutput() + waiting.readAllStandardError());
        QVERIFY2(waiting.exitCode() == 0, qPrintable(said));
        QVERIFY2(said.contains("did not ask the release server"), qPrintable(said));
    }

private:
    std::unique_ptr<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestCorvaneCtl)
#include "tst_corvanectl.moc"
