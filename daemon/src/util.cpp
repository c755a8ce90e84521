#include "util.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDebug>
#include <QSaveFile>

namespace Corvane {

namespace {
// Formed during static initialisation, so the cache directory exists (or its failure is
// logged) before main runs.
const QString SsuVersionFilePath = cacheDir().absoluteFilePath(QStringLiteral("ssu-version"));
const QString DisabledReposFilePath = cacheDir().absoluteFilePath(QStringLiteral("disabled-repos"));
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

QString disabledReposFilePath()
{
    return DisabledReposFilePath;
}

bool writeFileAtomically(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    qWarning().noquote() << Q_FUNC_INFO << "Failed to write" << path << file.errorString();
    return false;
}

void callSystemBus(const QString &service, const QString &path, const QString &interface,
    const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    QDBusConnection::systemBus().call(message, QDBus::BlockWithGui);
}

void requestReboot()
{
    callSystemBus(QStringLiteral("com.nokia.dsme"), QStringLiteral("/com/nokia/dsme/request"),
        QStringLiteral("com.nokia.dsme.request"), QStringLiteral("req_reboot"));
}

} // namespace Corvane
