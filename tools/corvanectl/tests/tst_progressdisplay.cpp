#include "progressdisplay.h"

#include <QTest>
#include <QTextStream>

// What a log or a pipe receives: the display decides alone what to leave out.
class TestProgressDisplay : public QObject
{
    Q_OBJECT

private slots:
    void plainLines_data()
    {
        QTest::addColumn<QList<int>>("reported");
        QTest::addColumn<QList<int>>("shown");

        QList<int> everyPercent;
        for (int percent = 0; percent <= 100; ++percent)
            everyPercent << percent << percent;
        QTest::newRow("each percent twice")
            << everyPercent << QList<int> {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
        QTest::newRow("jumps over tenths")
            << QList<int> {3, 7, 12, 55, 99, 100} << QList<int> {3, 12, 55, 99, 100};
        QTest::newRow("straight to the end") << QList<int> {100, 100} << QList<int> {100};
        QTest::newRow("out of range") << QList<int> {-5, 0, 140, 100} << QList<int> {0, 100};
        QTest::newRow("a restart shows") << QList<int> {0, 50, 2, 60} << QList<int> {0, 50, 2, 60};
    }

    void plainLines()
    {
        QFETCH(QList<int>, reported);
        QFETCH(QList<int>, shown);
        QString text;
        QTextStream out(&text);
        ProgressDisplay display(out, false);
        for (int percent : reported)
            display.setPercent(percent);
        display.finish();

        QString expected;
        for (int percent : shown)
            expected += ProgressDisplay::plainLine(percent, -1, -1) + QLatin1Char('\n');
        QCOMPARE(text, expected);
    }
};

QTEST_GUILESS_MAIN(TestProgressDisplay)
#include "tst_progressdisplay.moc"
