#pragma once

#include "daemonproxy.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
class InterruptWatcher;

/**
 * Runs one operation of the daemon: calls its method (when asked, only once the daemon is idle)
 * and follows it to its outcome, which is an Error signal, the status reaching the wanted value
 * after a statusChanged, or nothing happening at all.
 *
 * The daemon's signals are broadcast, so some are not about our call. The reply tells them
 * apart: the daemon refuses a call (and fails some at once) before it replies, so an Error
 * that comes before the reply is ours. After the reply, a BusyError is another client being
 * turned away while our operation runs; the daemon's operations end with other codes.
 */
class OperationWatcher : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Done,
        // No statusChanged within the grace time after the reply: the daemon had nothing to do.
        Unchanged,
        // The daemon sent Error; see errorCode() and errorDetails().
        Failed,
        // The call got an error reply, or the daemon left the bus or stopped answering; see
        // failure().
        BusFailed,
        TimedOut,
        Interrupted,
    };

    explicit OperationWatcher(const DaemonProxy &proxy, QObject *parent = nullptr);
    ~OperationWatcher() override;

    // The wait ends with Done when the status, read after a change, satisfies the condition.
    // The default is the status Idle.
    void setDoneWhen(std::function<bool(int status)> done) { m_done = std::move(done); }
    // Reads the status right after the reply too, for a condition that may hold already.
    void setCheckAfterReply(bool check) { m_checkAfterReply = check; }
    // Without any statusChanged this long after the reply, the run ends with Unchanged.
    void setUnchangedAfter(int ms) { m_unchangedAfterMs = ms; }
    // Calls only when the daemon is idle, and again when it turns the call away as busy: an
    // operation asked for while another runs (a preparation right after the daemon started,
    // another client's download) then starts when the daemon is free, within the timeout.
    void setWaitForIdle(bool wait) { m_waitForIdle = wait; }

    // Listens to the daemon's signals; run() does it too, a second call does nothing. Callers
    // that read the daemon's state before run() subscribe first, so that no change is missed.
    [[nodiscard]] BusFailure subscribe();
    // Calls the method and waits, at most timeoutMs, for the outcome.
    Outcome run(const QString &method, const QVariantList &arguments, int timeoutMs);

    int status() const { return m_status; }
    int errorCode() const { return m_errorCode; }
    QString errorDetails() const { return m_errorDetails; }
    BusFailure failure() const { return m_failure; }
    // Whether the daemon took the call: false when the run ended while waiting for it to be idle.
    bool started() const { return m_replied; }

signals:
    void statusSeen(int status);
    // The daemon is busy with something else; the call waits for it.
    void waiting(int status);
    void progress(int percent);
    void downloadedSizeChanged();

private slots:
    void onMessage(const QDBusMessage &message);

private:
    void call();
    void onReply(QDBusPendingCallWatcher *call);
    void scheduleEvaluation();
    void evaluate();
    // Ends the run after the events queued so far, so that an Error among them still wins.
    void finishQueued(Outcome outcome);
    void finish(Outcome outcome);

    const DaemonProxy &m_proxy;
    std::function<bool(int)> m_done;
    bool m_checkAfterReply = false;
    int m_unchangedAfterMs = -1;
    bool m_waitForIdle = false;
    QString m_method;
    QVariantList m_arguments;
    // Waiting for the daemon to be idle before calling, or after a busy refusal.
    bool m_waiting = false;
    bool m_inFlight = false;
    bool m_refused = false;
    bool m_announcedWait = false;
    QDBusServiceWatcher *m_serviceWatcher = nullptr;
    InterruptWatcher *m_interruptWatcher = nullptr;
    QEventLoop m_loop;
    QTimer m_timeout;
    QTimer m_unchanged;
    bool m_replied = false;
    bool m_statusChanged = false;
    bool m_evaluationPending = false;
    bool m_finished = false;
    Outcome m_outcome = Outcome::Done;
    int m_status = -1;
    int m_errorCode = -1;
    QString m_errorDetails;
    BusFailure m_failure;
};
