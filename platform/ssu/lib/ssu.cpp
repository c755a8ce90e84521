#include "ssu.h"

#include "ssuconfig.h"

#include <QDebug>
#include <QTimer>

namespace {

QString general()
{
    return QString::fromLatin1(SsuConfig::General);
}

} // namespace

Ssu::Ssu()
    : QObject(nullptr)
{
}

QString Ssu::release(bool rnd)
{
    return SsuConfig::load().value(
        general(), rnd ? QStringLiteral("rndRelease") : QStringLiteral("release"));
}

void Ssu::setRelease(const QString &release, bool rnd)
{
    const QString key = rnd ? QStringLiteral("rndRelease") : QStringLiteral("release");
    QString errorText;
    const bool written = SsuConfig::update(
        [&](SsuConfig &config) {
            return config.setValue(general(), key, release);
        },
        &errorText);
    if (!written)
        qWarning() << "Cannot set the SSU release to" << release << errorText;
}

Ssu::DeviceModeFlags Ssu::deviceMode()
{
    const QString text = SsuConfig::load().value(general(), QStringLiteral("deviceMode"));
    bool ok = false;
    const int mode = text.toInt(&ok, 0);
    return ok ? DeviceModeFlags(mode) : DeviceModeFlags(ReleaseMode);
}

QString Ssu::domain()
{
    return SsuConfig::load().value(general(), QStringLiteral("domain"), QStringLiteral("default"));
}

QVariantMap Ssu::getDomainConfig(const QString &domain)
{
    return SsuConfig::load().sectionValues(QStringLiteral("domain-") + domain);
}

bool Ssu::isRegistered()
{
    return SsuConfig::load().boolValue(general(), QStringLiteral("registered"), false);
}

QString Ssu::credentialsScope(const QString &repoName, bool rndRepo)
{
    const SsuConfig config = SsuConfig::load();
    if (!repoName.isEmpty()) {
        const QString scope = config.value(QStringLiteral("scopes"), repoName);
        if (!scope.isEmpty())
            return scope;
    }
    const QString scope =
        config.value(general(), QStringLiteral("credentialsScope"), QStringLiteral("default"));
    if (rndRepo)
        return config.value(general(), QStringLiteral("rndCredentialsScope"), scope);
    return scope;
}

QPair<QString, QString> Ssu::credentials(const QString &scope)
{
    const SsuConfig config = SsuConfig::load();
    const QString section = QStringLiteral("credentials-") + scope;
    return qMakePair(config.value(section, QStringLiteral("username")),
        config.value(section, QStringLiteral("password")));
}

void Ssu::updateCredentials(bool force)
{
    Q_UNUSED(force)
    const QString mode = SsuConfig::load().value(
        general(), QStringLiteral("credentialsUpdate"), QStringLiteral("async"));
    if (mode == QLatin1String("sync")) {
        emit done();
        return;
    }
    if (mode == QLatin1String("never"))
        return;
    int delayMs = 0;
    if (mode != QLatin1String("async")) {
        bool ok = false;
        const int configured = mode.toInt(&ok);
        if (ok && configured >= 0)
            delayMs = configured;
        else
            qWarning() << "Unknown credentialsUpdate mode" << mode << "- using async";
    }
    QTimer::singleShot(delayMs, this, &Ssu::done);
}

bool Ssu::useSslVerify()
{
    return SsuConfig::load().boolValue(general(), QStringLiteral("sslVerify"), true);
}

bool Ssu::useSslClientCertAuth()
{
    return SsuConfig::load().boolValue(general(), QStringLiteral("sslClientCertAuth"), false);
}

QString Ssu::sslClientCert()
{
    return SsuConfig::load().value(general(), QStringLiteral("sslClientCert"));
}

QString Ssu::sslClientKey()
{
    return SsuConfig::load().value(general(), QStringLiteral("sslClientKey"));
}
