#include "resetupdatemanager.h"

#include "downloader.h"
#include "imagearchive.h"
#include "ssuintegration.h"
#include "util.h"

#include <nemo-devicelock/authenticator.h>
#include <nemo-devicelock/devicereset.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThreadPool>
#include <QtConcurrent>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace Corvane {
namespace ResetUpdates {

namespace {

const QString ImageUrlTemplate = QStringLiteral("https://%1/images/%2/%3/%4/image.tar.gz");

const QString SuperDevice = QStringLiteral("/dev/disk/by-partlabel/super");
const QString SystemDevice = QStringLiteral("/dev/disk/by-partlabel/system");
const QString CacheDevice = QStringLiteral("/dev/disk/by-partlabel/cache");
const QString MountPoint = QStringLiteral("/fimage");
const QString ClearDeviceMarker = QStringLiteral("/usr/share/lipstick/devicelock/.clear-device");
const QString ClearDeviceRebootMarker =
    QStringLiteral("/usr/share/lipstick/devicelock/.clear-device-enable-reboot");

constexpr qint64 CopyBufferSize = 1024 * 1024;

} // namespace

ResetUpdateManager::ResetUpdateManager(bool insecure, qint64 size, QObject *parent)
    : QObject(parent)
    , m_imageDownloader(new Downloader(insecure, size, this))
    , m_vendorDataDownloader(new Downloader(insecure, 0, this))
    , m_ssu(new SsuIntegration(this))
    , m_deviceReset(new NemoDeviceLock::DeviceReset(this))
    , m_authenticator(new NemoDeviceLock::Authenticator(this))
{
    m_imageDownloader->setDownloadDir(cacheDir().absoluteFilePath(QStringLiteral("images")));
    connect(m_imageDownloader, &Downloader::error, this, &ResetUpdateManager::error);
    connect(m_imageDownloader, &Downloader::prepareFinished, this, [this](qint64 size) {
        emit prepareFinished(size, 0);
    });
    connect(m_imageDownloader, &Downloader::downloadFinished, this,
        &ResetUpdateManager::downloadFinished);
    connect(m_imageDownloader, &Downloader::downloadCancelled, this,
        &ResetUpdateManager::downloadCancelled);
    connect(m_imageDownloader, &Downloader::progress, this, &ResetUpdateManager::downloadProgress);

    m_vendorDataDownloader->setDownloadDir(
        cacheDir().absoluteFilePath(QStringLiteral("vendor-data")));
    connect(m_vendorDataDownloader, &Downloader::error, this, &ResetUpdateManager::error);
    // Vendor data has no preparation of its own and reports no progress.
    connect(m_vendorDataDownloader, &Downloader::prepareFinished, m_vendorDataDownloader,
        &Downloader::download);
    connect(m_vendorDataDownloader, &Downloader::downloadFinished, this,
        &ResetUpdateManager::downloadVendorDataFinished);
    connect(m_vendorDataDownloader, &Downloader::downloadCancelled, this,
        &ResetUpdateManager::downloadVendorDataCancelled);

    NemoDeviceLock::Authorization *authorization = m_deviceReset->authorization();
    connect(authorization, &NemoDeviceLock::Authorization::challengeIssued, this,
        &ResetUpdateManager::onChallengeIssued);
    connect(authorization, &NemoDeviceLock::Authorization::challengeDeclined, this, [this] {
        emit error(Enums::UpdateError::AuthenticationError,
            QStringLiteral("Failed to issue authorization challenge for device reset"));
    });
    connect(m_authenticator, &NemoDeviceLock::Authenticator::authenticated, this,
        &ResetUpdateManager::onAuthenticated);
    connect(m_authenticator, &NemoDeviceLock::Authenticator::aborted, this, [this] {
        emit error(Enums::UpdateError::AuthenticationError,
            QStringLiteral("Failed to authenticate for device reset"));
    });
    connect(m_deviceReset, &NemoDeviceLock::DeviceReset::clearingDevice, this,
        &ResetUpdateManager::onClearingDevice);
    connect(m_deviceReset, &NemoDeviceLock::DeviceReset::clearDeviceError, this, [this] {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Failed to reset device"));
    });
}

ResetUpdateManager::~ResetUpdateManager()
{
    // An installation uses this object until its last signal.
    m_installations.waitForFinished();
}

QUrl ResetUpdateManager::imageUrl(const QString &version) const
{
    const QString domain = m_ssu->releaseDomain();
    const QString model = m_ssu->deviceModel();
    const QString features = m_ssu->featuresString();
    if (version.isEmpty() || domain.isEmpty() || model.isEmpty() || features.isEmpty())
        return QUrl();
    return QUrl(ImageUrlTemplate.arg(domain, version, model, features), QUrl::TolerantMode);
}

QString ResetUpdateManager::imageFileName(const QString &name) const
{
    return QStringLiteral("%1-%2.tar.gz").arg(m_ssu->featuresString(), name);
}

void ResetUpdateManager::prepare(const QString &version)
{
    const QUrl url = imageUrl(version);
    if (!url.isValid()) {
        emit error(Enums::UpdateError::InternalError,
            QStringLiteral("Invalid URL: %1").arg(url.toString()));
        return;
    }
    // Named before the size query, which then starts a copy of another build over at once, so
    // that it no longer counts as downloaded. Naming fails only while a download runs, and
    // prepare() refuses that case itself.
    static_cast<void>(m_imageDownloader->setDownloadFile(imageFileName(version)));
    m_imageDownloader->prepare(url);
}

void ResetUpdateManager::download(const QString &version)
{
    if (!m_imageDownloader->isPrepared(imageUrl(version))) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Update is not prepared"));
        return;
    }
    const QString name = imageFileName(version);
    if (!m_imageDownloader->setDownloadFile(name)) {
        emit error(Enums::UpdateError::InternalError,
            QStringLiteral("Failed to set download filename: %1").arg(name));
        return;
    }
    m_imageDownloader->download();
}

void ResetUpdateManager::downloadVendorData(const QString &url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid()) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Invalid URL: %1").arg(url));
        return;
    }
    const QString name = imageFileName(QStringLiteral("vd"));
    if (!m_vendorDataDownloader->setDownloadFile(name)) {
        emit error(Enums::UpdateError::InternalError,
            QStringLiteral("Failed to set download filename: %1").arg(name));
        return;
    }
    m_vendorDataDownloader->prepare(parsed);
}

void ResetUpdateManager::cancelDownload()
{
    m_imageDownloader->cancel();
    m_vendorDataDownloader->cancel();
}

void ResetUpdateManager::install(const QString &version, bool reboot)
{
    // A partial archive (a download that failed after starting a republished file over) is
    // not installed, whatever the service's record says.
    if (!m_imageDownloader->setDownloadFile(imageFileName(version)) ||
        !m_imageDownloader->isComplete()) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Update is not downloaded"));
        return;
    }
    m_rebootAfterClear = reboot;

    InstallJob job;
    job.version = version;
    job.features = m_ssu->featuresString();
    job.archive = m_imageDownloader->fileName();
    // Vendor data is optional, but part of a file must never reach the cache partition raw:
    // a cancelled or failed vendor-data download is left out as if there were none.
    if (m_vendorDataDownloader->setDownloadFile(imageFileName(QStringLiteral("vd"))) &&
        m_vendorDataDownloader->fileExists()) {
        if (m_vendorDataDownloader->isComplete())
            job.vendorData = m_vendorDataDownloader->fileName();
        else
            qWarning() << Q_FUNC_INFO << "vendor-data is not completely downloaded, leaving it out:"
                       << m_vendorDataDownloader->fileName();
    }

    m_installations.addFuture(QtConcurrent::run(QThreadPool::globalInstance(), [this, job] {
        installWork(job);
    }));
}

void ResetUpdateManager::installWork(const InstallJob &job)
{
    bool archiveDamaged = false;
    if (!installUpdateImages(job, &archiveDamaged)) {
        const QString details = QStringLiteral("Failed to write update images");
        // A damaged archive kept in the cache could neither be installed nor fetched again:
        // having its full size, it counts as downloaded. It goes, and the service learns it
        // through downloadCancelled(), its one word for "no download here any more", which
        // clears isDownloaded in the property and the cache file. Both signals leave together
        // from the main thread, so no bus call is served between them.
        if (archiveDamaged) {
            if (QFile::remove(job.archive)) {
                qWarning() << Q_FUNC_INFO << "Removed damaged archive:" << job.archive;
                QMetaObject::invokeMethod(
                    this,
                    [this, details] {
                        emit downloadCancelled();
                        emit error(Enums::UpdateError::IOError, details);
                    },
                    Qt::QueuedConnection);
                return;
            }
            qWarning() << Q_FUNC_INFO << "Failed to remove damaged archive:" << job.archive;
        }
        emit error(Enums::UpdateError::IOError, details);
        return;
    }
    if (!flashVendorData(job.vendorData)) {
        emit error(Enums::UpdateError::IOError, QStringLiteral("Failed to write vendor-data"));
        return;
    }
    // The markers stay open until the reboot request has been sent.
    QFile clearDevice(ClearDeviceMarker);
    QFile enableReboot(ClearDeviceRebootMarker);
    if (clearDevice.open(QIODevice::WriteOnly) && enableReboot.open(QIODevice::WriteOnly)) {
        onClearingDevice();
        return;
    }
    emit error(Enums::UpdateError::IOError, QStringLiteral("Failed to schedule device reset"));
}

bool ResetUpdateManager::installUpdateImages(const InstallJob &job, bool *archiveDamaged) const
{
    // A mount left behind by an interrupted attempt.
    ::umount(qPrintable(MountPoint));

    QString device = SuperDevice;
    if (!QFileInfo::exists(device)) {
        qWarning() << Q_FUNC_INFO << "Device not found:" << device;
        device = SystemDevice;
        if (!QFileInfo::exists(device)) {
            qWarning() << Q_FUNC_INFO << "Device not found:" << device;
            return false;
        }
    }
    if (QProcess::execute(
            QStringLiteral("e2fsck"), {QStringLiteral("-f"), QStringLiteral("-p"), device}) != 0) {
        qWarning() << Q_FUNC_INFO << "Filesystem check failed:" << device;
        return false;
    }
    if (QProcess::execute(QStringLiteral("resize2fs"), {device}) != 0) {
        qWarning() << Q_FUNC_INFO << "Failed to resize partition:" << device;
        return false;
    }
    if (::mount(qPrintable(device), qPrintable(MountPoint), "ext4", 0, nullptr) != 0) {
        qWarning() << Q_FUNC_INFO << "Mount failed:" << std::strerror(errno);
        return false;
    }

    const QString name = QStringLiteral("%1-%2").arg(job.features, job.version);
    const QString imagesDir =
        QStringLiteral("%1/%2").arg(MountPoint, QStringLiteral("%1/system-images").arg(name));
    const QString rootDir = QStringLiteral("%1/%2").arg(MountPoint, name);
    bool ok = writeUpdate(job.archive, rootDir, imagesDir, archiveDamaged);
    if (ok)
        ok = flashLkUpdateSettings(
            device, QStringLiteral("/%1").arg(name + QStringLiteral("/system-images")));
    ::umount(qPrintable(MountPoint));
    return ok;
}

bool ResetUpdateManager::writeUpdate(const QString &archive, const QString &rootDir,
    const QString &imagesDir, bool *archiveDamaged) const
{
    for (const QString &dir : {rootDir, imagesDir}) {
        if (!QDir(dir).mkpath(QStringLiteral("."))) {
            qWarning() << Q_FUNC_INFO << "Failed to created dir:" << dir;
            return false;
        }
    }
    ImageArchive images(archive);
    if (!images.open()) {
        qWarning() << Q_FUNC_INFO << "Failed to open archive:" << archive << images.errorString();
        *archiveDamaged = images.isDamaged();
        return false;
    }
    if (!images.unpack(rootDir, imagesDir)) {
        if (images.failedEntry().isEmpty()) {
            qWarning().noquote() << Q_FUNC_INFO << "Failed to unpack archive" << archive + ':'
                                 << images.errorString();
        } else {
            qWarning() << Q_FUNC_INFO << "Failed to copy" << images.failedEntry() << "to"
                       << images.failedDirectory();
            qWarning() << Q_FUNC_INFO << images.errorString();
        }
        *archiveDamaged = images.isDamaged();
        return false;
    }
    return true;
}

bool ResetUpdateManager::flashLkUpdateSettings(const QString &device, const QString &path) const
{
    Q_UNUSED(device)
    Q_UNUSED(path)
    qDebug() << Q_FUNC_INFO << "Partition updates are not supported";
    return true;
}

bool ResetUpdateManager::flashVendorData(const QString &vendorData) const
{
    if (vendorData.isEmpty()) {
        qDebug() << Q_FUNC_INFO << "vendor-data is not downloaded";
        return true;
    }
    QFile partition(CacheDevice);
    // Never create it: without the partition the data would land in a file under /dev.
    if (!partition.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Unbuffered)) {
        qWarning() << Q_FUNC_INFO
                   << "Failed to open partition for writing vendor-data:" << CacheDevice;
        qWarning() << Q_FUNC_INFO << partition.errorString();
        return false;
    }
    QFile image(vendorData);
    if (!image.open(QIODevice::ReadOnly)) {
        qWarning() << Q_FUNC_INFO << "Failed to open vendor-data image:" << vendorData;
        qWarning() << Q_FUNC_INFO << image.errorString();
        return false;
    }
    // In pieces, so that a large archive is never held in memory; a partition too small for
    // it shows as a short write.
    QByteArray buffer(CopyBufferSize, Qt::Uninitialized);
    while (!image.atEnd()) {
        const qint64 read = image.read(buffer.data(), buffer.size());
        if (read <= 0 || partition.write(buffer.constData(), read) != read) {
            qWarning() << Q_FUNC_INFO << "Failed to write vendor-data to partition";
            return false;
        }
    }
    if (::fsync(partition.handle()) != 0) {
        qWarning() << Q_FUNC_INFO << "Failed to write vendor-data to partition";
        return false;
    }
    return true;
}

void ResetUpdateManager::onChallengeIssued()
{
    NemoDeviceLock::Authorization *authorization = m_deviceReset->authorization();
    m_authenticator->authenticate(authorization->challengeCode(), authorization->allowedMethods());
}

void ResetUpdateManager::onAuthenticated(const QVariant &authenticationToken)
{
    m_deviceReset->clearDevice(authenticationToken,
        NemoDeviceLock::DeviceReset::Options(NemoDeviceLock::DeviceReset::Reboot));
}

void ResetUpdateManager::onClearingDevice()
{
    emit installFinished();
    if (!m_rebootAfterClear)
        return;
    requestReboot();
}

} // namespace ResetUpdates
} // namespace Corvane
