#pragma once

#include "packagekitintegration.h"
#include "updatemanager.h"

#include <QObject>

namespace Corvane {
namespace PackageUpdates {

/**
 * The package update method: prepares and downloads through PackageKit, and installs by
 * handing the downloaded update to the system's offline update at the next boot.
 */
class PackageUpdateManager : public QObject, public UpdateManager
{
    Q_OBJECT
    Q_INTERFACES(Corvane::UpdateManager)

public:
    explicit PackageUpdateManager(QObject *parent = nullptr);

    void prepare(const QString &version) override;
    void download(const QString &version) override;
    void downloadVendorData(const QString &url) override;
    void cancelDownload() override;
    void install(const QString &version, bool reboot) override;

signals:
    void prepareFinished(qint64 downloadSize, qint64 installSize) override;
    void downloadProgress(int progress, qint64 bytes) override;
    void downloadFinished() override;
    void downloadCancelled() override;
    void downloadVendorDataFinished() override;
    void downloadVendorDataCancelled() override;
    void installFinished() override;
    void packagesToRemove(QStringList packages) override;
    void error(Corvane::Enums::UpdateError error, QString details) override;

private:
    qint64 m_downloadSize = 0;
    PackagekitIntegration m_integration;
};

} // namespace PackageUpdates
} // namespace Corvane
