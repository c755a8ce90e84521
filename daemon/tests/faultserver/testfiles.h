#pragma once

#include <QByteArray>
#include <QString>

/**
 * The DSME stand-in's record of reboot requests, for the reset update tests.
 */
namespace TestFiles {

// Reboot requests the DSME stand-in on the system bus has received; -1 when it cannot be
// asked. clearRebootRequests() forgets them.
int rebootRequests();
void clearRebootRequests();

} // namespace TestFiles
