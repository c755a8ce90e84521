#pragma once

#include <QEventLoop>
#include <QObject>

/**
 * Turns an operation that announces its end by a signal into a blocking call: connect the
 * signal to finished(), start the operation, then call sleep(). sleep() returns at once when
 * the signal came during the start, otherwise it runs a nested event loop until it comes.
 * There is no timeout. One object serves one wait.
 */
class SignalWait : public QObject
{
    Q_OBJECT

public:
    SignalWait() = default;

public slots:
    void sleep();
    virtual void finished();

private:
    QEventLoop m_loop;
    qint32 m_state = 1;
};
