#include "polkitmock.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QStringList>
#include <QTest>

const QString PolkitMock::ConfigureSources =
    QStringLiteral("org.freedesktop.packagekit.system-sources-configure");

QDBusMessage PolkitMock::call(const QString &method, const QVariantList &arguments)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.PolicyKit1"),
            QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
            QStringLiteral("org.freedesktop.DBus.Mock"), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message);
}

void PolkitMock::hold(const QString &action)
{
    call(QStringLiteral("SimulateHangActions"), {QStringList {action}});
}

bool PolkitMock::holds()
{
    return call(QStringLiteral("HaveHangingCalls")).arguments().value(0).toBool();
}

bool PolkitMock::waitForHeld(int question, int timeoutMs)
{
    for (int passed = 1; passed <= question; ++passed) {
        QElapsedTimer clock;
        clock.start();
        while (!holds()) {
            if (clock.elapsed() > timeoutMs)
                return false;
            QTest::qWait(10);
        }
        if (passed < question)
            call(QStringLiteral("ReleaseHangingCalls"));
    }
    return true;
}

void PolkitMock::releaseAll()
{
    call(QStringLiteral("SimulateHangActions"), {QStringList()});
    call(QStringLiteral("ReleaseHangingCalls"));
}
