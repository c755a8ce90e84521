#pragma once

#include <QElapsedTimer>
#include <QString>

class QTextStream;

/**
 * Shows a download's progress: a bar redrawn in place on a terminal, or, for a log or a pipe, a
 * plain line on the first report of each tenth (0 % to 9 %, ..., 90 % to 99 %, 100 %).
 */
class ProgressDisplay
{
public:
    ProgressDisplay(QTextStream &out, bool terminal);

    void setBytes(qint64 downloaded, qint64 total);
    void setPercent(int percent);
    // Ends the bar's line, so that what follows starts on a line of its own.
    void finish();

    static QString barLine(int percent, qint64 downloaded, qint64 total, int width);
    static QString plainLine(int percent, qint64 downloaded, qint64 total);

private:
    void draw();
    static int terminalWidth();

    QTextStream &m_out;
    bool m_terminal;
    int m_percent = -1;
    int m_shownPercent = -1;
    qint64 m_downloaded = -1;
    qint64 m_total = -1;
    bool m_barShown = false;
    QElapsedTimer m_sinceDraw;
};
