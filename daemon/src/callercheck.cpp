#include "callercheck.h"

namespace Corvane {

CallerCheck::Verdict CallerCheck::judge(const QString &owner, const QString &group,
    const std::function<bool()> &osUpdatesEnabled, const std::function<bool()> &isSystemUser)
{
    // Root and the device-management agent pass even when the policy has switched updates off.
    if (owner == QLatin1String("root") || owner == QLatin1String("zovoveva-mdm"))
        return Verdict::Allowed;
    if (!osUpdatesEnabled())
        return Verdict::DisabledByMdm;
    if (group != QLatin1String("privileged"))
        return Verdict::NotPrivilegedGroup;
    if (!isSystemUser())
        return Verdict::NotSystemUser;
    return Verdict::Allowed;
}

QString CallerCheck::refusal(Verdict verdict, uint pid, uint uid)
{
    switch (verdict) {
    case Verdict::Allowed:
        break;
    case Verdict::DisabledByMdm:
        return QStringLiteral("Disabled by MDM");
    case Verdict::NotPrivilegedGroup:
        return QStringLiteral("PID %1 is not in privileged group").arg(pid);
    case Verdict::NotSystemUser:
        return QStringLiteral("UID %1 is not in zovoveva-system group").arg(uid);
    }
    return QString();
}

const char *CallerCheck::warning(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Allowed:
        break;
    case Verdict::DisabledByMdm:
        return "Disabled by MDM";
    case Verdict::NotPrivilegedGroup:
        return "Not privileged group";
    case Verdict::NotSystemUser:
        return "Not zovoveva-system group";
    }
    return "";
}

} // namespace Corvane
