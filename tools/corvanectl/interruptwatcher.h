#pragma once

#include <QObject>

class QSocketNotifier;

/**
 * Turns SIGINT and SIGTERM into a Qt signal, so that a wait ends through the event loop and
 * leaves the terminal tidy. Only one instance may exist at a time; the default handling comes
 * back when it is destroyed.
 */
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

signals:
    void interrupted(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
