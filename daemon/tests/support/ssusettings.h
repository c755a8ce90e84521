#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

/**
 * The device's SSU configuration as the tests set it: what is left alone is a registered-less
 * x1 on release 4.0.0 following the repositories adaptation0 and tessaro, with the credentials
 * device/secret for every repository.
 */
struct SsuSettings
{
    SsuSettings() = default;
    explicit SsuSettings(const QString &releaseDomain)
        : releaseDomain(releaseDomain)
    {
    }

    QString release = QStringLiteral("4.0.0");
    QString model = QStringLiteral("x1");
    QString features; // comma-separated, as SSU keeps them
    int deviceMode = 0; // SSU's flags; 0 writes none
    QString domain = QStringLiteral("test");
    QString releaseDomain; // the domain's; empty writes none
    QString repos = QStringLiteral("adaptation0, tessaro");
    QString disabledRepos;
    bool registered = false;
    bool sslVerify = true;
    bool sslClientCertAuth = false;
    QString sslClientCert;
    QString sslClientKey;
    QString credentialsUpdate; // "sync", "async" or a delay in ms; empty writes none
    QString credentialsScope = QStringLiteral("default");
    QString username = QStringLiteral("device");
    QString password = QStringLiteral("secret");

    /**
     * Writes /etc/ssu/ssu.ini (the device's private /etc in the sandbox) and removes the SSU
     * service's call log, so that the log holds only what follows. A failure fails the running
     * test.
     */
    void write() const;
    // The calls SSU's service got since write(), one "name arguments..." each, in order.
    static QStringList calls();
    /**
     * Each job since write() switched SSU to the target release and back to the own one, in
     * turn, and there was at least one. A failure fails the running test.
     */
    static void verifyReleaseRoundTrips(const QString &own, const QString &target);
};
Q_DECLARE_METATYPE(SsuSettings)
