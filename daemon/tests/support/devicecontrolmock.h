#pragma once

#include <QStringList>

/**
 * The home screen and DSME stand-ins (python-dbusmock templates on the system bus), which record
 * what the daemon asks of them to prepare and restart the device. Asking for a record starts a
 * stand-in that is not running yet.
 */
class DeviceControlMock
{
public:
    // The reboots DSME was asked for; -1 when it cannot be asked.
    static int rebootRequests();
    // The shutdown modes the home screen was given, in order; empty when it cannot be asked.
    static QStringList shutdownModes();
    // Both forget what they recorded.
    static void clear();
};
