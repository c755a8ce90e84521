#pragma once

#include <QObject>

/**
 * Battery charge as the kernel's power-supply class reports it: the "capacity" of the first
 * supply of type "Battery" under /sys/class/power_supply.
 */
class BatteryStatus : public QObject
{
    Q_OBJECT

public:
    explicit BatteryStatus(QObject *parent = nullptr);

    // Charge in per cent, or -1 when no battery reports one.
    int chargePercentage() const;
};
