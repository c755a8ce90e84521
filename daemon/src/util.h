#pragma once

#include <QDir>
#include <QString>
#include <QVariantList>

namespace Corvane {

// The daemon's persistent directory, "/home/.system-updates", created with its parents when
// missing. A failure to create it is logged; later file operations report their own errors.
QDir cacheDir();

// Absolute path of the file that remembers the SSU release while a package transaction has
// switched it, so that an interrupted switch can be undone at the next start.
QString ssuVersionFilePath();

// Absolute path of the file that lists, one id a line, the repositories a package transaction
// has disabled and not yet enabled again, so that an interrupted isolation can be undone at the
// next start.
QString disabledReposFilePath();

// Replaces the file at path with content, whole or not at all (a crash never leaves it cut
// short). Failures are logged; the result says whether the file now holds content.
bool writeFileAtomically(const QString &path, const QByteArray &content);

// Calls a method of a system service and waits for its end; the reply and errors are of no
// interest, as such calls only ask the device to act.
void callSystemBus(const QString &service, const QString &path, const QString &interface,
    const QString &method, const QVariantList &arguments = {});

// Asks the device state manager (DSME) to reboot the device now. Blocks until DSME replies or
// the call times out; the reply is of no interest.
void requestReboot();

} // namespace Corvane
