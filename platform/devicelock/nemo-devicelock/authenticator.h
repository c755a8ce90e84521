#pragma once

#include <QObject>
#include <QVariant>

namespace NemoDeviceLock {

// Proves the user's identity for a challenge; the outcome comes from the event loop.
class Authenticator : public QObject
{
    Q_OBJECT

public:
    enum Method {
        NoAuthentication = 0x00,
        SecurityCode = 0x01,
        Fingerprint = 0x02,
        Confirmation = 0x04,
    };
    Q_DECLARE_FLAGS(Methods, Method)

    explicit Authenticator(QObject *parent = nullptr);

    void authenticate(const QVariant &challengeCode, Methods methods);

signals:
    void authenticated(const QVariant &authenticationToken);
    void aborted();
};

} // namespace NemoDeviceLock

Q_DECLARE_OPERATORS_FOR_FLAGS(NemoDeviceLock::Authenticator::Methods)
