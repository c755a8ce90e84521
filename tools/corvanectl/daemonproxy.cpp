#include "daemonproxy.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>

const QString DaemonProxy::Service = QStringLiteral("org.tessaro.Corvane");
const QString DaemonProxy::Path = QStringLiteral("/org/tessaro/Corvane");
const QString DaemonProxy::Interface = QStringLiteral("org.tessaro.Corvane");

namespace {

// Long enough for a daemon that has to be started by the bus first.
constexpr int CallTimeoutMs = 30000;

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

QString systemBusAddress()
{
    return qEnvironmentVariable(
        "DBUS_SYSTEM_BUS_ADDRESS", QStringLiteral("unix:path=/var/run/dbus/system_bus_socket"));
}

} // namespace

DaemonProxy::DaemonProxy()
    : m_bus(QDBusConnection::systemBus())
{
}

BusFailure DaemonProxy::connectToBus()
{
    if (m_bus.isConnected()) {
        // QtDBus holds back the signals of a new connection until the event loop has run once,
        // and then delivers them after replies that came later. Whether an Error came before
        // the reply of a call tells whose it is, so let the event loop run now.
        QCoreApplication::processEvents();
        return {};
    }
    QString reason = m_bus.lastError().message();
    if (reason.isEmpty())
        reason = QStringLiteral("no connection");
    return {ExitCode::Unreachable,
        QStringLiteral("corvanectl: the system bus at %1 cannot be reached (%2).\n"
                       "hint: is DBUS_SYSTEM_BUS_ADDRESS right, and is the bus daemon running?")
            .arg(systemBusAddress(), reason)};
}

BusFailure DaemonProxy::readAll(QVariantMap *properties) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        Service, Path, PropertiesInterface, QStringLiteral("GetAll"));
    message << Interface;
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return explain(QDBusError(reply), QStringLiteral("read the daemon's properties"));
    QVariantMap busValues;
    if (!reply.arguments().isEmpty())
        reply.arguments().constFirst().value<QDBusArgument>() >> busValues;
    properties->clear();
    for (auto it = busValues.constBegin(); it != busValues.constEnd(); ++it)
        properties->insert(it.key(), plainValue(it.key(), it.value()));
    return {};
}

BusFailure DaemonProxy::read(const QString &property, QVariant *value, bool startDaemon) const
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(Service, Path, PropertiesInterface, QStringLiteral("Get"));
    message << Interface << property;
    message.setAutoStartService(startDaemon);
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return explain(QDBusError(reply), QStringLiteral("read the property %1").arg(property));
    *value = plainValue(property, reply.arguments().constFirst().value<QDBusVariant>().variant());
    return {};
}

BusFailure DaemonProxy::call(const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, Interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return explain(QDBusError(reply), QStringLiteral("call %1").arg(method));
    return {};
}

QDBusPendingCall DaemonProxy::callAsync(const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, Interface, method);
    message.setArguments(arguments);
    return m_bus.asyncCall(message, CallTimeoutMs);
}

bool DaemonProxy::subscribe(const QString &signal, QObject *receiver, const char *slot) const
{
    return QDBusConnection(m_bus).connect(Service, Path, Interface, signal, receiver, slot);
}

QVariant DaemonProxy::enumArgument(int value)
{
    QDBusArgument argument;
    argument.beginStructure();
    argument << value;
    argument.endStructure();
    return QVariant::fromValue(argument);
}

int DaemonProxy::enumValue(const QVariant &busValue, int fallback)
{
    if (busValue.userType() != qMetaTypeId<QDBusArgument>())
        return fallback;
    const QDBusArgument argument = busValue.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::StructureType)
        return fallback;
    int value = fallback;
    argument.beginStructure();
    argument >> value;
    argument.endStructure();
    return value;
}

QVariant DaemonProxy::plainValue(const QString &property, const QVariant &busValue)
{
    if (property == QLatin1String("status") || property == QLatin1String("method"))
        return enumValue(busValue);
    if (property == QLatin1String("supportedMethods")) {
        QVariantList methods;
        if (busValue.userType() != qMetaTypeId<QDBusArgument>())
            return methods;
        const QDBusArgument argument = busValue.value<QDBusArgument>();
        argument.beginArray();
        while (!argument.atEnd()) {
            int method = -1;
            argument.beginStructure();
            argument >> method;
            argument.endStructure();
            methods.append(method);
        }
        argument.endArray();
        return methods;
    }
    if (busValue.userType() == qMetaTypeId<QDBusArgument>()) {
        // An array of strings that was not converted on the way in.
        QStringList strings;
        busValue.value<QDBusArgument>() >> strings;
        return strings;
    }
    return busValue;
}

BusFailure DaemonProxy::explain(const QDBusError &error, const QString &action) const
{
    const QString name = error.name();
    const QString message = error.message();
    // A well-known name without an owner reads like an unknown service to the user.
    const QDBusError::ErrorType type =
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
        ? QDBusError::ServiceUnknown
        : error.type();
    switch (type) {
    case QDBusError::AccessDenied:
        if (message == QLatin1String("Disabled by MDM")) {
            return {ExitCode::AccessDenied,
                QStringLiteral("error: access denied: %1\n"
                               "hint: device management has switched OS updates off on this "
                               "device; only root or the device-management agent may use the "
                               "update daemon now.")
                    .arg(message)};
        }
        return {ExitCode::AccessDenied,
            QStringLiteral("error: access denied: %1\n"
                           "hint: only privileged callers may change the update state: run "
                           "corvanectl as root, or as a user of the zovoveva-system group with "
                           "the privileged group as its group (e.g. through sudo or setpriv).")
                .arg(message)};
    case QDBusError::ServiceUnknown:
        return {ExitCode::Unreachable,
            QStringLiteral("corvanectl: the update daemon (%1) is not running and the system bus "
                           "could not start it (%2).\n"
                           "hint: start corvane as root, or install its D-Bus activation file "
                           "(%1.service) in the system bus's service directory.")
                .arg(Service, message)};
    case QDBusError::NoReply:
        // The bus also says NoReply when the daemon died or was stopped with the call pending.
        if (message.contains(QLatin1String("disconnected"), Qt::CaseInsensitive)) {
            return {ExitCode::OperationFailed,
                QStringLiteral("corvanectl: the update daemon left the bus before it answered "
                               "when asked to %1.\n"
                               "hint: see the system log for what happened to corvane.")
                    .arg(action)};
        }
        Q_FALLTHROUGH();
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return {ExitCode::TimedOut,
            QStringLiteral("corvanectl: the update daemon did not answer within %1 s when asked to "
                           "%2 (%3).")
                .arg(CallTimeoutMs / 1000)
                .arg(action, message)};
    case QDBusError::Disconnected:
        return {ExitCode::Unreachable,
            QStringLiteral("corvanectl: the connection to the system bus at %1 is lost (%2).")
                .arg(systemBusAddress(), message)};
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownProperty:
    case QDBusError::InvalidArgs:
    case QDBusError::InvalidSignature:
        return {ExitCode::OperationFailed,
            QStringLiteral("corvanectl: the daemon refused to %1: %2: %3\n"
                           "hint: the daemon on this device may be of another version than "
                           "corvanectl.")
                .arg(action, name, message)};
    default:
        break;
    }
    if (name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."))) {
        return {ExitCode::Unreachable,
            QStringLiteral("corvanectl: the system bus could not start the update daemon (%1: "
                           "%2).\nhint: see the system log for why corvane failed to start.")
                .arg(name, message)};
    }
    return {ExitCode::OperationFailed,
        QStringLiteral("corvanectl: could not %1: %2: %3").arg(action, name, message)};
}
