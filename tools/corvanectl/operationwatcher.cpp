#include "operationwatcher.h"

#include "interruptwatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace {
// The code by which the daemon turns a call away while it is busy.
constexpr int BusyError = 9;
constexpr int Idle = 0;
} // namespace

OperationWatcher::OperationWatcher(const DaemonProxy &proxy, QObject *parent)
    : QObject(parent)
    , m_proxy(proxy)
    , m_done([](int status) {
        return status == 0;
    })
    , m_interruptWatcher(new InterruptWatcher(this))
{
    m_timeout.setSingleShot(true);
    m_unchanged.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        finish(Outcome::TimedOut);
    });
    connect(&m_unchanged, &QTimer::timeout, this, [this] {
        if (!m_statusChanged)
            finishQueued(Outcome::Unchanged);
    });
    connect(m_interruptWatcher, &InterruptWatcher::interrupted, this, [this] {
        finish(Outcome::Interrupted);
    });
}

OperationWatcher::~OperationWatcher() = default;

BusFailure OperationWatcher::subscribe()
{
    if (m_serviceWatcher)
        return {};
    const QStringList signalNames {QStringLiteral("Error"), QStringLiteral("statusChanged"),
        QStringLiteral("DownloadProgress"), QStringLiteral("downloadedSizeChanged")};
    for (const QString &name : signalNames) {
        if (!m_proxy.subscribe(name, this, SLOT(onMessage(QDBusMessage)))) {
            return {ExitCode::Unreachable,
                QStringLiteral("corvanectl: cannot listen to the daemon's %1 signal: %2")
                    .arg(name, m_proxy.connection().lastError().message())};
        }
    }
    m_serviceWatcher = new QDBusServiceWatcher(DaemonProxy::Service, m_proxy.connection(),
        QDBusServiceWatcher::WatchForUnregistration, this);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        m_failure = {ExitCode::OperationFailed,
            QStringLiteral("corvanectl: the update daemon left the bus before the operation "
                           "ended.\nhint: see the system log for what happened to corvane.")};
        finishQueued(Outcome::BusFailed);
    });
    return {};
}

OperationWatcher::Outcome OperationWatcher::run(
    const QString &method, const QVariantList &arguments, int timeoutMs)
{
    m_failure = subscribe();
    if (m_failure.failed())
        return Outcome::BusFailed;
    m_method = method;
    m_arguments = arguments;
    if (m_waitForIdle) {
        // The status is read after subscribing, so the change to Idle cannot slip between.
        m_waiting = true;
        scheduleEvaluation();
    } else {
        call();
    }
    m_timeout.start(timeoutMs);
    if (!m_finished)
        m_loop.exec();
    m_timeout.stop();
    m_unchanged.stop();
    return m_outcome;
}

void OperationWatcher::call()
{
    m_inFlight = true;
    auto *pending = new QDBusPendingCallWatcher(m_proxy.callAsync(m_method, m_arguments), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &OperationWatcher::onReply);
}

void OperationWatcher::onReply(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    m_inFlight = false;
    if (m_finished)
        return;
    const QDBusPendingReply<> reply = *call;
    if (reply.isError()) {
        m_failure = m_proxy.explain(reply.error(), QStringLiteral("call %1").arg(m_method));
        finish(Outcome::BusFailed);
        return;
    }
    if (m_refused) {
        // Another operation began between our reading Idle and the call: wait for its end.
        m_refused = false;
        m_statusChanged = false;
        m_waiting = true;
        scheduleEvaluation();
        return;
    }
    m_replied = true;
    if (m_unchangedAfterMs >= 0)
        m_unchanged.start(m_unchangedAfterMs);
    // A change before the reply may already have been the whole operation.
    if (m_checkAfterReply || m_statusChanged)
        scheduleEvaluation();
}

void OperationWatcher::onMessage(const QDBusMessage &message)
{
    const QString name = message.member();
    const QVariantList arguments = message.arguments();
    if (name == QLatin1String("Error")) {
        const int code = arguments.isEmpty() ? -1 : DaemonProxy::enumValue(arguments.at(0));
        if (m_replied && code == BusyError)
            return;
        // Waiting, no call of ours is under way: the Error is about another client's operation.
        if (!m_inFlight && !m_replied)
            return;
        // Before the reply a BusyError is the refusal of our own call.
        if (m_waitForIdle && !m_replied && code == BusyError) {
            m_refused = true;
            return;
        }
        m_errorCode = code;
        m_errorDetails = arguments.size() > 1 ? arguments.at(1).toString() : QString();
        finish(Outcome::Failed);
    } else if (name == QLatin1String("statusChanged")) {
        m_statusChanged = true;
        scheduleEvaluation();
    } else if (name == QLatin1String("DownloadProgress")) {
        emit progress(arguments.isEmpty() ? 0 : arguments.at(0).toInt());
    } else if (name == QLatin1String("downloadedSizeChanged")) {
        emit downloadedSizeChanged();
    }
}

void OperationWatcher::scheduleEvaluation()
{
    // Several changes in one burst need one read only.
    if (m_evaluationPending)
        return;
    m_evaluationPending = true;
    QMetaObject::invokeMethod(this, &OperationWatcher::evaluate, Qt::QueuedConnection);
}

void OperationWatcher::evaluate()
{
    m_evaluationPending = false;
    if (m_finished)
        return;
    QVariant value;
    // Once the daemon took the call, a daemon that has gone (stopped, killed) is a failure of
    // the operation; starting a new one would only hide that.
    const BusFailure failure = m_proxy.read(QStringLiteral("status"), &value, !m_replied);
    if (failure.failed()) {
        m_failure = failure;
        finish(Outcome::BusFailed);
        return;
    }
    const int status = value.toInt();
    if (status != m_status) {
        m_status = status;
        emit statusSeen(status);
    }
    if (m_waiting) {
        if (status != Idle) {
            if (!m_announcedWait)
                emit waiting(status);
            m_announcedWait = true;
            return;
        }
        m_waiting = false;
        m_statusChanged = false;
        call();
        return;
    }
    // Before the reply the operation may not have begun: the status is someone else's.
    if (m_replied && m_done(status))
        finishQueued(Outcome::Done);
}

void OperationWatcher::finishQueued(Outcome outcome)
{
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
            finish(outcome);
        },
        Qt::QueuedConnection);
}

void OperationWatcher::finish(Outcome outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    m_outcome = outcome;
    m_loop.quit();
}
