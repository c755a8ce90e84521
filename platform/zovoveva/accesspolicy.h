#pragma once

#include <QObject>

namespace Zovoveva {

/**
 * The device-management policy. Read from "/etc/zovoveva/access-policy.conf":
 *
 *     [OsUpdates]
 *     Enabled=false
 *
 * A missing file or key means OS updates are enabled. The file is read on every question, so
 * a policy change takes effect at once.
 */
class AccessPolicy : public QObject
{
    Q_OBJECT

public:
    explicit AccessPolicy(QObject *parent = nullptr);

    bool osUpdatesEnabled() const;
};

} // namespace Zovoveva
