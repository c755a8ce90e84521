// The daemon's exit after sixty idle seconds, and its absence with "no-shutdown". Run each
// function in its own sandbox so that both can wait at the same time.
#include "busclient.h"
#include "daemonprocess.h"

#include <QElapsedTimer>
#include <QTest>

class TestShutdown : public QObject
{
    Q_OBJECT

private slots:
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
        QVERIFY(daemon.log().contains(QStringLiteral("Service is destroyed")));
    }

    void staysWithNoShutdown()
    {
        DaemonProcess daemon({QStringLiteral("--no-shutdown")});
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
        QVERIFY(!daemon.waitForExit(65000));
        QCOMPARE(BusClient::status(), 0);
    }
};

QTEST_GUILESS_MAIN(TestShutdown)
#include "tst_shutdown.moc"
