#include "ssusettings.h"

#include "fileio.h"

#include <QDir>
#include <QFile>
#include <QTest>

void SsuSettings::write() const
{
    const auto flag = [](bool value) {
        return QLatin1String(value ? "true" : "false");
    };
    QString text = QStringLiteral("[General]\nrelease = %1\nmodel = %2\ndomain = %3\n")
                       .arg(release, model, domain);
    if (!features.isEmpty())
        text += QStringLiteral("features = %1\n").arg(features);
    if (deviceMode != 0)
        text += QStringLiteral("deviceMode = %1\n").arg(deviceMode);
    text += QStringLiteral("registered = %1\nsslVerify = %2\nsslClientCertAuth = %3\n")
                .arg(flag(registered), flag(sslVerify), flag(sslClientCertAuth));
    if (!sslClientCert.isEmpty())
        text += QStringLiteral("sslClientCert = %1\nsslClientKey = %2\n")
                    .arg(sslClientCert, sslClientKey);
    if (!credentialsUpdate.isEmpty())
        text += QStringLiteral("credentialsUpdate = %1\n").arg(credentialsUpdate);
    text += QStringLiteral("credentialsScope = %1\n").arg(credentialsScope);
    if (!releaseDomain.isEmpty())
        text += QStringLiteral("[domain-%1]\nreleaseDomain = %2\n").arg(domain, releaseDomain);
    text += QStringLiteral("[repositories]\nrepos = %1\n").arg(repos);
    if (!disabledRepos.isEmpty())
        text += QStringLiteral("disabled = %1\n").arg(disabledRepos);
    // Quoted, so that blanks at either end are part of the value.
    text += QStringLiteral("[credentials-%1]\nusername = \"%2\"\npassword = \"%3\"\n")
                .arg(credentialsScope, username, password);
    QDir().mkpath(QStringLiteral("/etc/ssu"));
    writeFile(QStringLiteral("/etc/ssu/ssu.ini"), text.toUtf8());
    QFile::remove(QStringLiteral("/etc/ssu/calls.log"));
}

QStringList SsuSettings::calls()
{
    return QString::fromUtf8(readFile(QStringLiteral("/etc/ssu/calls.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void SsuSettings::verifyReleaseRoundTrips(const QString &own, const QString &target)
{
    const QStringList releases = calls().filter(QStringLiteral("setRelease"));
    QVERIFY(!releases.isEmpty());
    QCOMPARE(releases.size() % 2, 0);
    for (int i = 0; i < releases.size(); ++i)
        QCOMPARE(releases.at(i), QStringLiteral("setRelease %1 false").arg(i % 2 ? own : target));
}
