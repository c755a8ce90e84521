#include "daemonprocess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTest>

namespace {
const QString ServiceName = QStringLiteral("org.tessaro.Corvane");
}

DaemonProcess::DaemonProcess(const QStringList &arguments, QObject *parent)
    : QObject(parent)
    , m_arguments(arguments)
{
    m_logFile.setFileTemplate(QDir::tempPath() + QStringLiteral("/corvane-XXXXXX.log"));
    if (m_logFile.open()) {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(m_logFile.fileName());
    }
}

DaemonProcess::~DaemonProcess()
{
    if (isRunning()) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    forwardSanitizerReport();
}

void DaemonProcess::forwardSanitizerReport()
{
    // The log is the daemon's only output and goes with this object: a report in it reaches
    // the test's output, where the sanitizer lane looks for reports, also when the test did not
    // notice the daemon's death.
    QFile log(m_logFile.fileName());
    if (!log.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = log.readAll();
    if (content.contains("ERROR: AddressSanitizer") || content.contains(": runtime error: "))
        qWarning("The daemon's log holds a sanitizer report:\n%s", content.constData());
}

QString DaemonProcess::binary()
{
    return QProcessEnvironment::systemEnvironment().value(
        QStringLiteral("CORVANE_BINARY"), QStringLiteral("corvane"));
}

bool DaemonProcess::start(int timeoutMs)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusServiceWatcher watcher(ServiceName, bus, QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
    startDetachedFromBus();
    if (!m_process.waitForStarted(timeoutMs))
        return false;

    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        // The name's owner must be this process: a daemon that was just stopped may still own
        // it until the bus has seen its connection close.
        const QDBusReply<uint> owner = bus.interface()->servicePid(ServiceName);
        if (owner.isValid() && owner.value() == static_cast<uint>(m_process.processId()))
            return true;
        if (!isRunning())
            return false;
        registered.wait(qMin<qint64>(200, qMax<qint64>(1, deadline.remainingTime())));
    }
    return false;
}

void DaemonProcess::startDetachedFromBus()
{
    forwardSanitizerReport();
    m_logFile.resize(0);
    m_process.start(binary(), m_arguments);
}

bool DaemonProcess::waitForExit(int timeoutMs)
{
    if (!isRunning())
        return true;
    return m_process.waitForFinished(timeoutMs);
}

void DaemonProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool DaemonProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

int DaemonProcess::exitCode() const
{
    return m_process.exitCode();
}

QProcess::ExitStatus DaemonProcess::exitStatus() const
{
    return m_process.exitStatus();
}

QString DaemonProcess::log()
{
    QFile file(m_logFile.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}
