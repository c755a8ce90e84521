#include "signalwait.h"

#include <QTest>
#include <QTimer>

class TestSignalWait : public QObject
{
    Q_OBJECT

private slots:
    // A negative delay: the signal comes during the start, before sleep().
    void waitsForTheSignal_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::newRow("during the start") << -1;
        QTest::newRow("next turn") << 0;
        QTest::newRow("later") << 50;
    }

    void waitsForTheSignal()
    {
        QFETCH(int, delayMs);

        SignalWait wait;
        QTimer signal;
        signal.setSingleShot(true);
        connect(&signal, &QTimer::timeout, &wait, &SignalWait::finished);
        // Due before the wait: it fires only if sleep() enters an event loop, which it must do
        // exactly when the signal is still to come.
        QTimer other;
        other.setSingleShot(true);
        other.start(0);

        if (delayMs < 0)
            wait.finished();
        else
            signal.start(delayMs);
        wait.sleep();
        QCOMPARE(other.isActive(), delayMs < 0);
        // Not back before the signal came.
        QVERIFY(!signal.isActive());
    }
};

QTEST_GUILESS_MAIN(TestSignalWait)
#include "tst_signalwait.moc"
