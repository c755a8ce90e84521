#pragma once

#include <nemo-devicelock/devicereset.h>

#include <QStringList>

namespace NemoDeviceLock {

/**
 * The decisions of the platform's device-lock service, played by a test in the same process;
 * not part of the platform library's interface. Outcomes come from the event loop, as the
 * service's replies do. Client calls are recorded in order as "authenticate(CODE, METHODS)"
 * and "clearDevice(TOKEN, OPTIONS)".
 */
class StandInControl
{
public:
    StandInControl() = delete;

    // To every live authorization object.
    static void issueChallenge(const QVariant &code, Authenticator::Methods methods);
    static void declineChallenge();

    // Both succeed by default; an authentication yields the token "token:CODE".
    static void setAuthenticationSucceeds(bool succeeds);
    static void setClearDeviceSucceeds(bool succeeds);

    static QStringList calls();
    // Forgets the calls and restores the default outcomes.
    static void reset();
};

} // namespace NemoDeviceLock
