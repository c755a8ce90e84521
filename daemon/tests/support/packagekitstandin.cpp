#include "packagekitstandin.h"

#include "fileio.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDir>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

const QString PackageKitStandIn::Service = QStringLiteral("org.freedesktop.PackageKit");

QDBusMessage PackageKitStandIn::control(const QString &method, const QVariantList &arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, QStringLiteral("/org/corvane/PackageKitControl"),
            QStringLiteral("org.corvane.PackageKitControl"), method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 20000);
}

void PackageKitStandIn::restartWith(const QByteArray &state)
{
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    if (bus->isServiceRegistered(Service).value())
        ::kill(pid_t(bus->servicePid(Service).value()), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(Service).value(), 10000);
    QVERIFY(QDir().mkpath(QStringLiteral("/etc/packagekit-standin")));
    writeFile(QStringLiteral("/etc/packagekit-standin/state.json"), state);
}

void PackageKitStandIn::loadState(const QJsonObject &state)
{
    const QDBusMessage reply =
        control(QStringLiteral("LoadState"), {QString::fromUtf8(QJsonDocument(state).toJson())});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    clearCalls();
}

void PackageKitStandIn::configure(const QString &json)
{
    const QDBusMessage reply = control(QStringLiteral("Configure"), {json});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

QJsonObject PackageKitStandIn::state()
{
    return QJsonDocument::fromJson(
        control(QStringLiteral("GetState")).arguments().value(0).toString().toUtf8())
        .object();
}

QJsonArray PackageKitStandIn::repositories()
{
    return state()[QStringLiteral("repositories")].toArray();
}

QStringList PackageKitStandIn::calls()
{
    return control(QStringLiteral("GetCalls")).arguments().value(0).toStringList();
}

void PackageKitStandIn::clearCalls()
{
    control(QStringLiteral("ClearCalls"));
}

bool PackageKitStandIn::waitForCall(const QString &pattern, int count)
{
    const QRegularExpression call(pattern);
    return QTest::qWaitFor(
        [&] {
            return calls().filter(call).size() >= count;
        },
        20000);
}

bool PackageKitStandIn::idle()
{
    const QDBusMessage reply = QDBusConnection::systemBus().call(
        QDBusMessage::createMethodCall(Service, QStringLiteral("/org/freedesktop/PackageKit"),
            Service, QStringLiteral("GetTransactionList")));
    return reply.type() == QDBusMessage::ReplyMessage &&
        qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0)).isEmpty();
}
