#pragma once

#include "daemonproxy.h"

#include <QEventLoop>
#include <QObject>

class QDBusMessage;
class QTextStream;

/**
 * Prints every signal of the daemon as it arrives, one timestamped line each; for a change
 * signal the property's value as read again at that moment.
 */
class Monitor : public QObject
{
    Q_OBJECT

public:
    // count > 0 ends the run after that many signals of the daemon.
    Monitor(const DaemonProxy &proxy, QTextStream &out, QTextStream &err, int count,
        QObject *parent = nullptr);

    [[nodiscard]] BusFailure subscribe();
    // Runs until the count is reached or SIGINT or SIGTERM comes.
    void run();

    // The line for one signal, without the timestamp.
    static QString describe(const QString &signal, const QVariantList &arguments,
        const QVariant &propertyValue, const QString &readProblem);

private slots:
    void onMessage(const QDBusMessage &message);

private:
    const DaemonProxy &m_proxy;
    QTextStream &m_out;
    QTextStream &m_err;
    int m_remaining;
    QEventLoop m_loop;
};
