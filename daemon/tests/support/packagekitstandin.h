#pragma once

#include <QByteArray>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QVariantList>

/**
 * The device's PackageKit stand-in (platform/packagekit), through its control interface: the
 * package system it plays, the faults and durations it is given, the calls it has had.
 */
class PackageKitStandIn
{
public:
    static const QString Service;

    static QDBusMessage control(const QString &method, const QVariantList &arguments = {});

    // The state the next stand-in starts with: a running one is ended, so that the next call
    // to PackageKit starts it anew from this file. A failure fails the running test.
    static void restartWith(const QByteArray &state);
    // Replaces the running stand-in's whole state and forgets its calls; a refusal fails the
    // running test.
    static void loadState(const QJsonObject &state);
    // Replaces the top-level keys of the JSON object given and keeps the others.
    static void configure(const QString &json);

    static QJsonObject state();
    // The state's repositories, in its order: what a test compares before and after a job.
    static QJsonArray repositories();
    static QStringList calls();
    static void clearCalls();
    // Waits until PackageKit has been asked for something the pattern matches, count times.
    [[nodiscard]] static bool waitForCall(const QString &pattern, int count = 1);
    // No transaction is running.
    static bool idle();
};
