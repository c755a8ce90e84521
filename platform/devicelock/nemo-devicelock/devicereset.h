#pragma once

#include <nemo-devicelock/authorization.h>

namespace NemoDeviceLock {

// The device-lock service's factory reset. clearDevice() takes the token of an authentication
// against authorization()'s challenge and ends in clearingDevice() or clearDeviceError().
class DeviceReset : public QObject
{
    Q_OBJECT

public:
    enum Option {
        Reboot = 0x01,
    };
    Q_DECLARE_FLAGS(Options, Option)

    explicit DeviceReset(QObject *parent = nullptr);

    // Owned by this object.
    Authorization *authorization() { return m_authorization; }

    void clearDevice(const QVariant &authenticationToken, Options options);

signals:
    void clearingDevice();
    void clearDeviceError();

private:
    Authorization *m_authorization;
};

} // namespace NemoDeviceLock

Q_DECLARE_OPERATORS_FOR_FLAGS(NemoDeviceLock::DeviceReset::Options)
