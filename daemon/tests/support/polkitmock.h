#pragma once

#include <QDBusMessage>
#include <QString>
#include <QVariantList>

/**
 * The device's polkit, python-dbusmock's polkitd template. PackageKit asks it before each
 * repository change (and before a real upgrade), so a call it holds unanswered holds PackageKit,
 * and with it the daemon, at an exact step.
 */
class PolkitMock
{
public:
    static const QString ConfigureSources;

    static QDBusMessage call(const QString &method, const QVariantList &arguments = {});
    // From now on, questions about the action get no answer until released.
    static void hold(const QString &action);
    // Lets held questions through one at a time until the one numbered `question` is held.
    [[nodiscard]] static bool waitForHeld(int question, int timeoutMs = 20000);
    // Answers everything held and holds nothing more.
    static void releaseAll();
    static bool holds();
};
