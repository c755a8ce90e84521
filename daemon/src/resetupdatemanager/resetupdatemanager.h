#pragma once

#include "updatemanager.h"

#include <QFutureSynchronizer>
#include <QObject>
#include <QUrl>
#include <QVariant>

namespace NemoDeviceLock {
class Authenticator;
class DeviceReset;
} // namespace NemoDeviceLock

namespace Corvane {

class SsuIntegration;

namespace ResetUpdates {

class Downloader;

/**
 * The image update method: downloads a complete OS image archive (and, on request, a
 * vendor-data archive) into the cache, and installs it by writing the images onto the system
 * partition, the vendor data onto the cache partition, and scheduling a device clear.
 *
 * The installation runs on a thread of the global pool and reports back by queued signals;
 * everything else runs on the main thread. Destroying the object waits for a running
 * installation to end.
 */
class ResetUpdateManager : public QObject, public UpdateManager
{
    Q_OBJECT
    Q_INTERFACES(Corvane::UpdateManager)

public:
    ResetUpdateManager(bool insecure, qint64 size, QObject *parent = nullptr);
    ~ResetUpdateManager() override;

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

private slots:
    void onChallengeIssued();
    void onAuthenticated(const QVariant &authenticationToken);
    // Called on the main thread by the device lock, or on the installation's thread.
    void onClearingDevice();

private:
    // What the installation needs, gathered on the main thread so that the worker never reads
    // the downloaders or SSU, which belong to that thread.
    struct InstallJob
    {
        QString version;
        QString features;
        QString archive;
        QString vendorData; // empty: none downloaded
    };

    QUrl imageUrl(const QString &version) const;
    QString imageFileName(const QString &name) const;

    void installWork(const InstallJob &job);
    // archiveDamaged is set when the failure lies in the image archive's bytes.
    [[nodiscard]] bool installUpdateImages(const InstallJob &job, bool *archiveDamaged) const;
    [[nodiscard]] bool writeUpdate(const QString &archive, const QString &rootDir,
        const QString &imagesDir, bool *archiveDamaged) const;
    [[nodiscard]] bool flashLkUpdateSettings(const QString &device, const QString &path) const;
    [[nodiscard]] bool flashVendorData(const QString &vendorData) const;

    Downloader *m_imageDownloader;
    Downloader *m_vendorDataDownloader;
    SsuIntegration *m_ssu;
    NemoDeviceLock::DeviceReset *m_deviceReset;
    NemoDeviceLock::Authenticator *m_authenticator;
    bool m_rebootAfterClear = true;
    QFutureSynchronizer<void> m_installations;
};

} // namespace ResetUpdates
} // namespace Corvane
