#include "progressdisplay.h"

#include <QTextStream>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Redraws of the bar beyond this rate only cost the terminal time.
constexpr int RedrawIntervalMs = 100;

QString mib(qint64 bytes)
{
    return QString::number(bytes / (1024.0 * 1024.0), 'f', 1);
}

QString amount(qint64 downloaded, qint64 total)
{
    if (downloaded < 0)
        return QString();
    if (total <= 0)
        return QStringLiteral("%1 MiB").arg(mib(downloaded));
    return QStringLiteral("%1 / %2 MiB").arg(mib(downloaded), mib(total));
}

} // namespace

ProgressDisplay::ProgressDisplay(QTextStream &out, bool terminal)
    : m_out(out)
    , m_terminal(terminal)
{
}

void ProgressDisplay::setBytes(qint64 downloaded, qint64 total)
{
    m_downloaded = downloaded;
    m_total = total;
}

void ProgressDisplay::setPercent(int percent)
{
    m_percent = qBound(0, percent, 100);
    draw();
}

void ProgressDisplay::finish()
{
    if (m_barShown) {
        m_out << '\n';
        m_out.flush();
        m_barShown = false;
    }
}

void ProgressDisplay::draw()
{
    if (!m_terminal) {
        // A log or a pipe gets a line per tenth: enough to follow, few enough to read.
        if (m_shownPercent >= 0 && m_percent / 10 == m_shownPercent / 10)
            return;
        m_shownPercent = m_percent;
        m_out << plainLine(m_percent, m_downloaded, m_total) << '\n';
        m_out.flush();
        return;
    }
    if (m_percent == m_shownPercent && m_sinceDraw.isValid() &&
        m_sinceDraw.elapsed() < RedrawIntervalMs) {
        return;
    }
    m_shownPercent = m_percent;
    m_sinceDraw.start();
    m_out << '\r' << barLine(m_percent, m_downloaded, m_total, terminalWidth()) << "\x1b[K";
    m_out.flush();
    m_barShown = true;
}

QString ProgressDisplay::barLine(int percent, qint64 downloaded, qint64 total, int width)
{
    percent = qBound(0, percent, 100);
    QString tail = QStringLiteral(" %1%").arg(percent, 3);
    const QString bytes = amount(downloaded, total);
    if (!bytes.isEmpty())
        tail += QStringLiteral("  ") + bytes;
    // The bar takes what the numbers leave, within reason.
    const int barWidth = qBound(10, width - tail.size() - 3, 50);
    const int filled = barWidth * percent / 100;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
        QString(barWidth - filled, QLatin1Char('-')) + QLatin1Char(']') + tail;
}

QString ProgressDisplay::plainLine(int percent, qint64 downloaded, qint64 total)
{
    QString line = QStringLiteral("downloaded %1%").arg(qBound(0, percent, 100));
    const QString bytes = amount(downloaded, total);
    if (!bytes.isEmpty())
        line += QStringLiteral(" (") + bytes + QLatin1Char(')');
    return line;
}

int ProgressDisplay::terminalWidth()
{
    struct winsize size = {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
