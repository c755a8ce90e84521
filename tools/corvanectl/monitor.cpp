#include "monitor.h"

#include "daemonstate.h"
#include "enumnames.h"
#include "interruptwatcher.h"

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QTextStream>

namespace {

const QString ChangedSuffix = QStringLiteral("Changed");

QString timestamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

} // namespace

Monitor::Monitor(
    const DaemonProxy &proxy, QTextStream &out, QTextStream &err, int count, QObject *parent)
    : QObject(parent)
    , m_proxy(proxy)
    , m_out(out)
    , m_err(err)
    , m_remaining(count)
{
}

BusFailure Monitor::subscribe()
{
    QStringList signalNames {QStringLiteral("Error"), QStringLiteral("DownloadProgress")};
    for (const QString &property : DaemonState::propertyNames())
        signalNames.append(property + ChangedSuffix);
    for (const QString &name : signalNames) {
        if (!m_proxy.subscribe(name, this, SLOT(onMessage(QDBusMessage)))) {
            return {ExitCode::Unreachable,
                QStringLiteral("corvanectl: cannot listen to the daemon's %1 signal: %2")
                    .arg(name, m_proxy.connection().lastError().message())};
        }
    }
    // The daemon comes and goes (it exits when idle and the bus starts it on demand); saying so
    // explains gaps in the output.
    auto *watcher = new QDBusServiceWatcher(
        DaemonProxy::Service, m_proxy.connection(), QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_out << timestamp() << " -- " << DaemonProxy::Service << " appeared on the bus\n";
        m_out.flush();
    });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        m_out << timestamp() << " -- " << DaemonProxy::Service << " left the bus\n";
        m_out.flush();
    });
    return {};
}

void Monitor::run()
{
    InterruptWatcher interrupts;
    connect(&interrupts, &InterruptWatcher::interrupted, &m_loop, &QEventLoop::quit);
    m_err << "Monitoring " << DaemonProxy::Service << " on the system bus; Ctrl-C ends.\n";
    m_err.flush();
    m_loop.exec();
}

void Monitor::onMessage(const QDBusMessage &message)
{
    const QString signal = message.member();
    QVariant value;
    QString readProblem;
    if (signal.endsWith(ChangedSuffix)) {
        const BusFailure failure = m_proxy.read(signal.chopped(ChangedSuffix.size()), &value);
        if (failure.failed())
            readProblem = failure.message.section(QLatin1Char('\n'), 0, 0);
    }
    m_out << timestamp() << ' ' << describe(signal, message.arguments(), value, readProblem)
          << '\n';
    m_out.flush();
    if (m_remaining > 0 && --m_remaining == 0)
        m_loop.quit();
}

QString Monitor::describe(const QString &signal, const QVariantList &arguments,
    const QVariant &propertyValue, const QString &readProblem)
{
    if (signal == QLatin1String("Error")) {
        const int code = arguments.isEmpty() ? -1 : DaemonProxy::enumValue(arguments.at(0));
        const QString details = arguments.size() > 1 ? arguments.at(1).toString() : QString();
        return QStringLiteral("Error %1 (%2): %3")
            .arg(EnumNames::updateError(code), QString::number(code), details);
    }
    if (signal == QLatin1String("DownloadProgress"))
        return QStringLiteral("DownloadProgress %1%")
            .arg(arguments.isEmpty() ? 0 : arguments.at(0).toInt());
    if (!signal.endsWith(ChangedSuffix))
        return signal;
    const QString property = signal.chopped(ChangedSuffix.size());
    if (!readProblem.isEmpty())
        return QStringLiteral("%1 (cannot read %2: %3)").arg(signal, property, readProblem);
    return QStringLiteral("%1 %2 = %3")
        .arg(signal, property, DaemonState::valueText(property, propertyValue));
}
