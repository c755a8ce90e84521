#pragma once

#include <QList>
#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantList>

class QEventLoop;

/**
 * Every signal an object's class declares, in the order they come, as text: the signal's name
 * and its arguments, separated by blanks, enumerators by key ("error NetworkError Server sent
 * 0 bytes of 26214400"), lists joined by commas, maps as key=value pairs. Signals whose name ends
 * in "progress" are kept apart, with their arguments, so that the events are the outcomes.
 */
class SignalRecorder : public QObject
{
public:
    // A queued connection records what another thread emits in the order the object's own
    // thread sees it.
    explicit SignalRecorder(QObject *object, Qt::ConnectionType type = Qt::DirectConnection);
    // Only the signals of the class `declaredBy` and its bases, which the object is one of: the
    // interface a test is about rather than what a subclass adds.
    SignalRecorder(QObject *object, const QMetaObject &declaredBy,
        Qt::ConnectionType type = Qt::DirectConnection);

    // Runs the event loop until there are count events. A loop of its own, not
    // QTest::qWaitFor: that one sleeps 10 ms between rounds, and a download would crawl along
    // at one read buffer per round.
    [[nodiscard]] bool waitForEvents(int count = 1, int timeoutMs = 30000);
    QString last() const { return events.value(events.size() - 1); }
    // The object is gone, as a self-deleting one is once control is back in the event loop.
    bool objectDeleted() const { return m_object.isNull(); }

    QStringList events;
    QList<QVariantList> progress;

    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override;

private:
    void record(const QMetaMethod &signal, void **arguments);

    QPointer<QObject> m_object;
    QList<QMetaMethod> m_signals; // by the index of the slot each is connected to
    int m_wanted = 0;
    QEventLoop *m_loop = nullptr;
};
