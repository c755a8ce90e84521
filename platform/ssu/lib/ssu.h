#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <QVariantMap>

/**
 * The device's software-update configuration: release, domain, registration, credentials and
 * TLS settings, read from "/etc/ssu/ssu.ini" on every call (see README.md for the keys).
 *
 * Setters write the same file. Nothing here reports errors: a missing or unreadable file gives
 * the documented defaults, a failed write is logged and otherwise ignored.
 */
class Ssu : public QObject
{
    Q_OBJECT
public:
    enum DeviceMode {
        DisableRepoManager = 0x1,
        RndMode = 0x2,
        ReleaseMode = 0x4,
        LenientMode = 0x8,
        UpdateMode = 0x10,
        AppInstallMode = 0x20
    };
    Q_DECLARE_FLAGS(DeviceModeFlags, DeviceMode)

    Ssu();

    // The release the device follows in release mode, or in R&D mode with @p rnd.
    QString release(bool rnd = false);
    void setRelease(const QString &release, bool rnd = false);
    DeviceModeFlags deviceMode();
    QString domain();
    // Every key of the domain's section, values as strings; empty for an unknown domain.
    QVariantMap getDomainConfig(const QString &domain);
    bool isRegistered();
    QString credentialsScope(const QString &repoName, bool rndRepo = false);
    // User name and password of @p scope; empty strings when the scope has none.
    QPair<QString, QString> credentials(const QString &scope);
    /**
     * Refreshes the credentials and ends with done(). Depending on the configuration, done()
     * is emitted before this call returns, from a later event-loop turn, after a delay, or
     * never; a caller must be ready for each.
     */
    void updateCredentials(bool force = false);
    bool useSslVerify();
    bool useSslClientCertAuth();
    QString sslClientCert();
    QString sslClientKey();

signals:
    void done();
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Ssu::DeviceModeFlags)
