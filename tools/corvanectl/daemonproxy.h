#pragma once

#include "exitcode.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QString>
#include <QVariant>
#include <QVariantMap>

class QDBusError;

// Why a bus exchange failed, worded for the user; code Success when it did not.
struct BusFailure
{
    ExitCode code = ExitCode::Success;
    QString message;

    bool failed() const { return code != ExitCode::Success; }
};

/**
 * The daemon's object on the system bus, reached through its public interface only. Every call
 * has a bounded time for its reply, so that a daemon that does not answer cannot hang us.
 * Property values come back as plain values: the enumeration structures as int, the method
 * list as a QVariantList of int.
 */
class DaemonProxy
{
public:
    static const QString Service;
    static const QString Path;
    static const QString Interface;

    DaemonProxy();

    // Whether the system bus can be reached; every other operation needs it.
    [[nodiscard]] BusFailure connectToBus();
    QDBusConnection connection() const { return m_bus; }

    [[nodiscard]] BusFailure readAll(QVariantMap *properties) const;
    // startDaemon false: a daemon that is not running is not started by the bus for this read.
    [[nodiscard]] BusFailure read(
        const QString &property, QVariant *value, bool startDaemon = true) const;
    // Calls a method of the daemon's interface; its replies carry no values.
    [[nodiscard]] BusFailure call(const QString &method, const QVariantList &arguments = {}) const;
    // The same without blocking: the reply comes through the event loop, in order with the
    // daemon's signals.
    QDBusPendingCall callAsync(const QString &method, const QVariantList &arguments) const;
    // Delivers the daemon's signal to the slot, which takes a QDBusMessage.
    [[nodiscard]] bool subscribe(const QString &signal, QObject *receiver, const char *slot) const;

    // The one-integer structure the interface uses for its enumerations.
    static QVariant enumArgument(int value);
    static int enumValue(const QVariant &busValue, int fallback = -1);
    static QVariant plainValue(const QString &property, const QVariant &busValue);

    // The error of a reply, worded for the user; action says what was being done.
    BusFailure explain(const QDBusError &error, const QString &action) const;

private:
    QDBusConnection m_bus;
};
