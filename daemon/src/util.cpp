#include "util.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>

namespace Corvane {

namespace {
// Formed during static initialisation, so the cache directory exists (or its failure is
// logged) before main runs.
const QString SsuVersionFilePath = cacheDir().absoluteFilePath(QStringLiteral("ssu-version"));
} // namespace

QDir cacheDir()
{
    QDir dir(QStringLiteral("/home/.system-updates"));
    if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
        qWarning() << Q_FUNC_INFO << "Failed to ensure cache dir existence" << dir.path();
    return dir;
}

QString ssuVersionFilePath()
{
    return SsuVersionFilePath;
}

void requestReboot()
{
    const QDBusMessage request = QDBusMessage::createMethodCall(QStringLiteral("com.nokia.dsme"),
        QStringLiteral("/com/nokia/dsme/request"), QStringLiteral("com.nokia.dsme.request"),
        QStringLiteral("req_reboot"));
    QDBusConnection::systemBus().call(request, QDBus::BlockWithGui);
}

} // namespace Corvane
