#include "devicecontrolmock.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantList>

namespace {

const QString Dsme = QStringLiteral("com.nokia.dsme");
const QString HomeScreen = QStringLiteral("org.nemomobile.lipstick");

QDBusMessage callMock(const QString &service, const QString &method, const QVariantList &arguments)
{
    const QString path =
        service == Dsme ? QStringLiteral("/com/nokia/dsme/request") : QStringLiteral("/shutdown");
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
}

// The arguments of each recorded call of the method; false when the stand-in did not answer.
bool recordedCalls(const QString &service, const QString &method, QList<QVariantList> *calls)
{
    const QDBusMessage reply = callMock(service, QStringLiteral("GetMethodCalls"), {method});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return false;
    const QDBusArgument array = reply.arguments().value(0).value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        qulonglong time = 0;
        QVariantList arguments;
        array.beginStructure();
        array >> time >> arguments;
        array.endStructure();
        calls->append(arguments);
    }
    array.endArray();
    return true;
}

} // namespace

int DeviceControlMock::rebootRequests()
{
    QList<QVariantList> calls;
    return recordedCalls(Dsme, QStringLiteral("req_reboot"), &calls) ? calls.size() : -1;
}

QStringList DeviceControlMock::shutdownModes()
{
    QList<QVariantList> calls;
    recordedCalls(HomeScreen, QStringLiteral("setShutdownMode"), &calls);
    QStringList modes;
    for (const QVariantList &arguments : qAsConst(calls))
        modes.append(arguments.value(0).toString());
    return modes;
}

void DeviceControlMock::clear()
{
    for (const QString &service : {Dsme, HomeScreen})
        callMock(service, QStringLiteral("ClearCalls"), {});
}
