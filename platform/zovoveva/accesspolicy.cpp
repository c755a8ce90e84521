#include "accesspolicy.h"

#include <QSettings>

namespace Zovoveva {

AccessPolicy::AccessPolicy(QObject *parent)
    : QObject(parent)
{
}

bool AccessPolicy::osUpdatesEnabled() const
{
    const QSettings policy(
        QStringLiteral("/etc/zovoveva/access-policy.conf"), QSettings::IniFormat);
    return policy.value(QStringLiteral("OsUpdates/Enabled"), true).toBool();
}

} // namespace Zovoveva
