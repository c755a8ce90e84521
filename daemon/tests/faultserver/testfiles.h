#pragma once

#include <QByteArray>
#include <QString>

/**
 * Files and device configuration shared by the reset update tests.
 */
namespace TestFiles {

[[nodiscard]] bool write(const QString &path, const QByteArray &data);
// Writes size bytes of random data; false when the file cannot be written whole.
[[nodiscard]] bool writeRandom(const QString &path, qint64 size);
// Hex MD5 of the file, empty when unreadable.
QString md5(const QString &path);

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
