#include "signalrecorder.h"

#include <QEventLoop>
#include <QMetaMethod>
#include <QTimer>

SignalRecorder::SignalRecorder(QObject *object, Qt::ConnectionType type)
    : SignalRecorder(object, *object->metaObject(), type)
{
}

SignalRecorder::SignalRecorder(
    QObject *object, const QMetaObject &declaredBy, Qt::ConnectionType type)
    : m_object(object)
{
    // Connected by index to slots this class does not declare, which qt_metacall takes, as
    // QSignalSpy does. A base class's methods have the same indexes in its subclasses.
    const int slotBase = QObject::staticMetaObject.methodCount();
    for (int i = QObject::staticMetaObject.methodCount(); i < declaredBy.methodCount(); ++i) {
        if (declaredBy.method(i).methodType() != QMetaMethod::Signal)
            continue;
        if (QMetaObject::connect(object, i, this, slotBase + m_signals.size(), type))
            m_signals.append(declaredBy.method(i));
    }
}

int SignalRecorder::qt_metacall(QMetaObject::Call call, int id, void **arguments)
{
    id = QObject::qt_metacall(call, id, arguments);
    if (id < 0 || call != QMetaObject::InvokeMetaMethod)
        return id;
    if (id < m_signals.size())
        record(m_signals.at(id), arguments);
    return id - m_signals.size();
}

void SignalRecorder::record(const QMetaMethod &method, void **arguments)
{
    QVariantList values;
    QStringList words {QString::fromLatin1(method.name())};
    for (int i = 0; i < method.parameterCount(); ++i) {
        const QVariant value(method.parameterType(i), arguments[i + 1]);
        values.append(value);
        if (value.userType() == QMetaType::QStringList) {
            words.append(value.toStringList().join(QLatin1Char(',')));
        } else if (value.canConvert<QVariantMap>()) { // a hash too, then by key
            QStringList pairs;
            const QVariantMap map = value.value<QVariantMap>();
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                pairs.append(it.key() + QLatin1Char('=') + it.value().toString());
            words.append(pairs.join(QLatin1Char(',')));
        } else {
            words.append(value.toString());
        }
    }
    if (words.first().endsWith(QLatin1String("rogress"), Qt::CaseInsensitive)) {
        progress.append(values);
        return;
    }
    events.append(words.join(QLatin1Char(' ')));
    if (m_loop && events.size() >= m_wanted)
        m_loop->quit();
}

bool SignalRecorder::waitForEvents(int count, int timeoutMs)
{
    if (events.size() < count) {
        QEventLoop loop;
        m_loop = &loop;
        m_wanted = count;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
    }
    return events.size() >= count;
}
