#pragma once

#include <QByteArray>
#include <QString>

/**
 * Files and device configuration shared by the reset update tests.
 */
namespace TestFiles {

struct Ssu
{
    QString releaseDomain;
    QString model = QStringLiteral("m1");
    QString features; // comma-separated
    bool registered = false;
    QString username = QStringLiteral("device");
    QString password = QStringLiteral("secret");
    bool sslVerify = true;
    bool clientCertAuth = false;
    QString clientCert;
    QString clientKey;
};
// Writes /etc/ssu/ssu.ini (the device's private /etc in the sandbox).
void configure(const Ssu &ssu);

// Reboot requests the DSME stand-in on the system bus has received; -1 when it cannot be
// asked. clearRebootRequests() forgets them.
int rebootRequests();
void clearRebootRequests();

} // namespace TestFiles
