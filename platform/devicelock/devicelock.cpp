#include "nemo-devicelock/standincontrol.h"

#include <QList>
#include <QMetaObject>

namespace NemoDeviceLock {

namespace {

struct State
{
    QList<Authorization *> authorizations;
    QStringList calls;
    bool authenticationSucceeds = true;
    bool clearDeviceSucceeds = true;
};

// Main thread only, as the clients are.
State &state()
{
    static State instance;
    return instance;
}

template<typename Function>
void later(QObject *target, Function function)
{
    QMetaObject::invokeMethod(target, function, Qt::QueuedConnection);
}

} // namespace

Authenticator::Authenticator(QObject *parent)
    : QObject(parent)
{
}

void Authenticator::authenticate(const QVariant &challengeCode, Methods methods)
{
    state().calls.append(QStringLiteral("authenticate(%1, %2)")
                             .arg(challengeCode.toString())
                             .arg(static_cast<int>(methods)));
    const QVariant token = QString(QStringLiteral("token:") + challengeCode.toString());
    if (state().authenticationSucceeds)
        later(this, [this, token] {
            emit authenticated(token);
        });
    else
        later(this, [this] {
            emit aborted();
        });
}

Authorization::Authorization(QObject *parent)
    : QObject(parent)
{
    state().authorizations.append(this);
}

Authorization::~Authorization()
{
    state().authorizations.removeAll(this);
}

DeviceReset::DeviceReset(QObject *parent)
    : QObject(parent)
    , m_authorization(new Authorization(this))
{
}

void DeviceReset::clearDevice(const QVariant &authenticationToken, Options options)
{
    state().calls.append(QStringLiteral("clearDevice(%1, %2)")
                             .arg(authenticationToken.toString())
                             .arg(static_cast<int>(options)));
    if (state().clearDeviceSucceeds)
        later(this, [this] {
            emit clearingDevice();
        });
    else
        later(this, [this] {
            emit clearDeviceError();
        });
}

void StandInControl::issueChallenge(const QVariant &code, Authenticator::Methods methods)
{
    for (Authorization *authorization : qAsConst(state().authorizations)) {
        later(authorization, [authorization, code, methods] {
            authorization->m_challengeCode = code;
            authorization->m_allowedMethods = methods;
            emit authorization->challengeIssued();
        });
    }
}

void StandInControl::declineChallenge()
{
    for (Authorization *authorization : qAsConst(state().authorizations))
        later(authorization, [authorization] {
            emit authorization->challengeDeclined();
        });
}

void StandInControl::setAuthenticationSucceeds(bool succeeds)
{
    state().authenticationSucceeds = succeeds;
}

void StandInControl::setClearDeviceSucceeds(bool succeeds)
{
    state().clearDeviceSucceeds = succeeds;
}

QStringList StandInControl::calls()
{
    return state().calls;
}

void StandInControl::reset()
{
    state() = State {state().authorizations, {}, true, true};
}

} // namespace NemoDeviceLock
