#pragma once

#include <nemo-devicelock/authenticator.h>

namespace NemoDeviceLock {

// A client's right to a protected action, granted by a challenge the device-lock service
// issues when it decides to.
class Authorization : public QObject
{
    Q_OBJECT

public:
    explicit Authorization(QObject *parent = nullptr);
    ~Authorization() override;

    QVariant challengeCode() const { return m_challengeCode; }
    Authenticator::Methods allowedMethods() const { return m_allowedMethods; }

signals:
    void challengeIssued();
    void challengeDeclined();

private:
    friend class StandInControl;
    QVariant m_challengeCode;
    Authenticator::Methods m_allowedMethods;
};

} // namespace NemoDeviceLock
