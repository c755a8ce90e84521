#include "ssuintegration.h"

#include "signalwait.h"

#include <ssu.h>
#include <ssudeviceinfo.h>
#include <ssufeaturemodel.h>
#include <ssurepomanager.h>

#include <QDBusConnection>

namespace Corvane {

namespace {
// SSU's repository action codes and filters.
constexpr int RepoActionAdd = 1;
constexpr int RepoActionEnable = 3;
constexpr int RepoFilterUsed = 2;
constexpr int DeviceModeRnd = 2;
constexpr int FeatureNameRole = 256;
} // namespace

SsuIntegration::SsuIntegration(QObject *parent)
    : QObject(parent)
    , m_ssu(new Ssu())
    , m_deviceInfo(new SsuDeviceInfo(QString()))
    , m_repoManager(new SsuRepoManager())
    , m_featureModel(new SsuFeatureModel(this))
    , m_ssuService(QStringLiteral("org.nemo.ssu"), QStringLiteral("/org/nemo/ssu"),
          QStringLiteral("org.nemo.ssu"), QDBusConnection::sessionBus())
{
}

SsuIntegration::~SsuIntegration() = default;

QString SsuIntegration::release() const
{
    return m_ssu->release(false);
}

void SsuIntegration::setRelease(const QString &release)
{
    m_ssu->setRelease(release, false);
    m_ssuService.call(QStringLiteral("setRelease"), release, false);
}

QString SsuIntegration::deviceModel() const
{
    return m_deviceInfo->deviceModel();
}

QString SsuIntegration::configurationName() const
{
    return QStringLiteral("tessaro-configuration-%1").arg(deviceModel());
}

bool SsuIntegration::deviceModeFlag() const
{
    return (static_cast<int>(m_ssu->deviceMode()) & DeviceModeRnd) != 0;
}

QStringList SsuIntegration::repos() const
{
    return m_repoManager->repos(deviceModeFlag(), RepoFilterUsed);
}

bool SsuIntegration::isRegistered() const
{
    return m_ssu->isRegistered();
}

void SsuIntegration::modifyRepos(const QStringList &repos)
{
    for (const QString &repo : repos) {
        m_ssuService.call(QStringLiteral("modifyRepo"), RepoActionAdd, repo);
        m_ssuService.call(QStringLiteral("modifyRepo"), RepoActionEnable, repo);
    }
    m_ssuService.call(QStringLiteral("updateRepos"));
}

QString SsuIntegration::credentialsScope(const QString &repoName, bool rndRepo) const
{
    return m_ssu->credentialsScope(repoName, rndRepo);
}

QPair<QString, QString> SsuIntegration::credentials(const QString &scope)
{
    SignalWait wait;
    connect(m_ssu.data(), &Ssu::done, &wait, &SignalWait::finished);
    m_ssu->updateCredentials(false);
    wait.sleep();
    return m_ssu->credentials(scope);
}

bool SsuIntegration::useSslVerify() const
{
    return m_ssu->useSslVerify();
}

bool SsuIntegration::useSslClientCertAuth() const
{
    return m_ssu->useSslClientCertAuth();
}

QString SsuIntegration::sslClientCert() const
{
    return m_ssu->sslClientCert();
}

QString SsuIntegration::sslClientKey() const
{
    return m_ssu->sslClientKey();
}

QStringList SsuIntegration::features() const
{
    QStringList result;
    const int count = m_featureModel->count();
    for (int row = 0; row < count; ++row)
        result.append(
            m_featureModel->data(m_featureModel->index(row, 0), FeatureNameRole).toString());
    result.sort(Qt::CaseSensitive);
    return result;
}

QString SsuIntegration::featuresString() const
{
    return features().join(QLatin1Char('-')).replace(QLatin1Char(' '), QLatin1Char('_'));
}

QString SsuIntegration::releaseDomain() const
{
    QVariantMap config = m_ssu->getDomainConfig(m_ssu->domain());
    return config[QStringLiteral("releaseDomain")].toString();
}

} // namespace Corvane
