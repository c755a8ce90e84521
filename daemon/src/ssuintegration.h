#pragma once

#include <QDBusInterface>
#include <QObject>
#include <QPair>
#include <QScopedPointer>
#include <QStringList>

class Ssu;
class SsuDeviceInfo;
class SsuFeatureModel;
class SsuRepoManager;

namespace Corvane {

/**
 * The daemon's only door to the platform's software-update configuration: the SSU library
 * and the SSU service on the session bus. Every call is synchronous and reports no errors;
 * whatever SSU answers is passed on. Each user keeps its own object; all state lives in SSU.
 */
class SsuIntegration : public QObject
{
    Q_OBJECT

public:
    explicit SsuIntegration(QObject *parent = nullptr);
    ~SsuIntegration() override;

    QString release() const;
    // Switches the library side first, then tells the SSU service; the reply is not awaited
    // for its content.
    void setRelease(const QString &release);
    QString deviceModel() const;
    QString configurationName() const;
    bool deviceModeFlag() const;
    QStringList repos() const;
    bool isRegistered() const;
    void modifyRepos(const QStringList &repos);
    QString credentialsScope(const QString &repoName, bool rndRepo) const;
    // Refreshes the credentials first; re-enters the event loop until SSU reports done.
    QPair<QString, QString> credentials(const QString &scope);
    bool useSslVerify() const;
    bool useSslClientCertAuth() const;
    QString sslClientCert() const;
    QString sslClientKey() const;
    QStringList features() const;
    QString featuresString() const;
    QString releaseDomain() const;

private:
    QScopedPointer<Ssu> m_ssu;
    QScopedPointer<SsuDeviceInfo> m_deviceInfo;
    QScopedPointer<SsuRepoManager> m_repoManager;
    SsuFeatureModel *m_featureModel;
    mutable QDBusInterface m_ssuService;
};

} // namespace Corvane
