#pragma once

#include <QString>

#include <functional>

namespace Corvane {

/**
 * Who may change the update state: the decision alone, from what is known of the calling
 * process, so that it can be judged without a bus. The policy and the group membership are asked
 * only when the decision reaches them, in this order: the process's owner, the device-management
 * policy, the process's group, the user's membership in "zovoveva-system".
 */
class CallerCheck
{
public:
    enum class Verdict {
        Allowed,
        DisabledByMdm,
        NotPrivilegedGroup,
        NotSystemUser,
    };

    // owner and group are the names of the owner and group of the caller's /proc entry.
    static Verdict judge(const QString &owner, const QString &group,
        const std::function<bool()> &osUpdatesEnabled, const std::function<bool()> &isSystemUser);

    // The text of the AccessDenied reply for a refusal; pid and uid are the caller's.
    static QString refusal(Verdict verdict, uint pid, uint uid);
    // The warning the daemon logs for a refusal.
    static const char *warning(Verdict verdict);
};

} // namespace Corvane
