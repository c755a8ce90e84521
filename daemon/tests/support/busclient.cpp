#include "busclient.h"

#include "fileio.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

const QString BusClient::Service = QStringLiteral("org.tessaro.Corvane");
const QString BusClient::Path = QStringLiteral("/org/tessaro/Corvane");
const QString BusClient::Interface = QStringLiteral("org.tessaro.Corvane");

namespace {

// The daemon's enumerations travel as one-integer structures.
int readStructure(const QDBusArgument &argument)
{
    int result = -2;
    argument.beginStructure();
    argument >> result;
    argument.endStructure();
    return result;
}

int unpackInt(const QVariant &value)
{
    return value.canConvert<QDBusArgument>() ? readStructure(value.value<QDBusArgument>()) : -2;
}

QDBusMessage propertiesCall(const QString &method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(BusClient::Service, BusClient::Path,
        QStringLiteral("org.freedesktop.DBus.Properties"), method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
}

} // namespace

ToolResult BusClient::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    return finish(process, timeoutMs);
}

ToolResult BusClient::finish(QProcess &process, int timeoutMs)
{
    // waitForFinished() is false for a process that has already ended, as one that exits on
    // its own (monitor --count) may have while the caller's event loop ran.
    const bool ended =
        process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    if (!ended) {
        process.kill();
        process.waitForFinished();
    }
    const bool normal = ended && process.exitStatus() == QProcess::NormalExit &&
        process.error() != QProcess::FailedToStart;
    return {normal ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) + (ended ? "" : "\ntimed out")};
}

bool ToolResult::ends(int wanted, const QString &pattern) const
{
    const QString printed = wanted == 0 ? out + err : err;
    if (exitCode == wanted && QRegularExpression(pattern).match(printed).hasMatch())
        return true;
    qWarning().noquote() << "exit" << exitCode << "instead of" << wanted << '\n' + out + err;
    return false;
}

QStringList asUser(const QString &identity, const QStringList &command)
{
    const QStringList ids = identity.split(':');
    return QStringList {"--reuid=" + ids.at(0), "--regid=" + ids.value(1), "--init-groups"} +
        command;
}

void writeDaemonCache(const QByteArray &json)
{
    QDir().mkpath(QStringLiteral("/home/.system-updates"));
    writeFile(QStringLiteral("/home/.system-updates/os-info.json"), json);
}

QString corvanectlPath()
{
    return qEnvironmentVariable("CORVANE_BINARY_DIR") +
        QStringLiteral("/tools/corvanectl/corvanectl");
}

ToolResult corvanectl(const QStringList &arguments, int timeoutMs)
{
    const ToolResult result = BusClient::run(corvanectlPath(), arguments, timeoutMs);
    if (result.exitCode != 0)
        qInfo().noquote() << "corvanectl" << arguments.join(' ') << "ended with" << result.exitCode
                          << result.err;
    return result;
}

ToolResult BusClient::call(
    const QString &method, const QStringList &arguments, const QString &identity)
{
    const QStringList command = QStringList {"gdbus", "call", "--system", "--dest", Service,
                                    "--object-path", Path, "--method", Interface + '.' + method} +
        arguments;
    return identity.isEmpty() ? run(command.first(), command.mid(1))
                              : run(QStringLiteral("setpriv"), asUser(identity, command));
}

bool BusClient::callMethod(const QString &method, const QStringList &arguments)
{
    return call(method, arguments).exitCode == 0;
}

QVariant BusClient::property(const QString &name)
{
    const QDBusMessage reply = propertiesCall(QStringLiteral("Get"), {Interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return reply.arguments().first().value<QDBusVariant>().variant();
}

QVariantMap BusClient::allProperties()
{
    const QDBusMessage reply = propertiesCall(QStringLiteral("GetAll"), {Interface});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariantMap();
    QVariantMap result;
    reply.arguments().first().value<QDBusArgument>() >> result;
    return result;
}

int BusClient::status()
{
    return unpackInt(property(QStringLiteral("status")));
}

int BusClient::method()
{
    return unpackInt(property(QStringLiteral("method")));
}

QList<int> BusClient::supportedMethods()
{
    QList<int> result;
    const QVariant value = property(QStringLiteral("supportedMethods"));
    if (!value.canConvert<QDBusArgument>())
        return result;
    const QDBusArgument argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd())
        result.append(readStructure(argument));
    argument.endArray();
    return result;
}

bool BusClient::waitForStatus(int wanted, int timeoutMs)
{
    BusSignal changed(QStringLiteral("statusChanged"));
    const QDeadlineTimer deadline(timeoutMs);
    while (status() != wanted) {
        if (deadline.hasExpired())
            return false;
        // The signal may have come between the read and the wait; a short wait re-reads.
        changed.spy().wait(qMin<qint64>(500, qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

BusSignal::BusSignal(const QString &name, QObject *parent)
    : QObject(parent)
    , m_spy(this, &BusSignal::received)
{
    QDBusConnection::systemBus().connect(BusClient::Service, BusClient::Path, BusClient::Interface,
        name, this, SLOT(onMessage(QDBusMessage)));
}

void BusSignal::onMessage(const QDBusMessage &message)
{
    emit received(message.arguments());
}
