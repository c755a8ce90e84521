#include "signalwait.h"

#include <QTest>
#include <QTimer>

class Emitter : public QObject
{
    Q_OBJECT
signals:
    void done();
};

class TestSignalWait : public QObject
{
    Q_OBJECT

private slots:
    void waitsForTheSignal_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("loopRuns");
        QTest::newRow("during the start") << -1 << false;
        QTest::newRow("next turn") << 0 << true;
        QTest::newRow("later") << 50 << true;
    }

    void waitsForTheSignal()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, loopRuns);

        Emitter emitter;
        SignalWait wait;
        connect(&emitter, &Emitter::done, &wait, &SignalWait::finished);
        // Posted before the wait: it runs only if sleep() enters an event loop.
        bool otherEventRan = false;
        QTimer::singleShot(0, this, [&otherEventRan] {
            otherEventRan = true;
        });

        if (delayMs < 0)
            emit emitter.done();
        else
            QTimer::singleShot(delayMs, &emitter, &Emitter::done);
        wait.sleep();
        QCOMPARE(otherEventRan, loopRuns);
    }
};

QTEST_GUILESS_MAIN(TestSignalWait)
#include "tst_signalwait.moc"
