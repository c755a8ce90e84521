#pragma once

#include <QDir>
#include <QString>

namespace Corvane {

// The daemon's persistent directory, "/home/.system-updates", created with its parents when
// missing. A failure to create it is logged; later file operations report their own errors.
QDir cacheDir();

// Absolute path of the file that remembers the SSU release while a package transaction has
// switched it, so that an interrupted switch can be undone at the next start.
QString ssuVersionFilePath();

// Asks the device state manager (DSME) to reboot the device now. Blocks until DSME replies or
// the call times out; the reply is of no interest.
void requestReboot();

} // namespace Corvane
