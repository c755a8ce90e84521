#include "service.h"

#include "callercheck.h"
#include "metadata/metadatamanager.h"
#include "osinfocache.h"
#include "packageupdatemanager/packageupdatemanager.h"
#include "resetupdatemanager/resetupdatemanager.h"
#include "serviceadaptor.h"
#include "updatemanager.h"

#include <accesscontrol.h>
#include <accesspolicy.h>
#include <batterystatus.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStorageInfo>

namespace Corvane {

namespace {

constexpr int ShutdownTimeoutMs = 60000;
constexpr int MinimumBatteryCharge = 30;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

Service::Service(bool insecure, bool autoShutdown, QObject *parent)
    : QObject(parent)
    , m_metadataManager(new MetadataManager(insecure, this))
    , m_accessPolicy(new Zovoveva::AccessPolicy(this))
    , m_insecure(insecure)
    , m_batteryStatus(new BatteryStatus(this))
{
    new ServiceAdaptor(this);

    m_shutdownTimer.setSingleShot(true);
    m_shutdownTimer.setInterval(ShutdownTimeoutMs);
    if (autoShutdown) {
        connect(&m_shutdownTimer, &QTimer::timeout, QCoreApplication::instance(),
            &QCoreApplication::quit, Qt::QueuedConnection);
    }
    m_shutdownTimer.start();

    connect(m_metadataManager, &MetadataManager::finished, this, &Service::onCheckFinished);
    connect(m_metadataManager, &MetadataManager::error, this, &Service::onError);

    readCache();

    qDebug() << Q_FUNC_INFO << "Service is created";
}

Service::~Service()
{
    clearData(false);
    qDebug() << Q_FUNC_INFO << "Service is destroyed";
}

Enums::Method Service::method() const
{
    if (dynamic_cast<PackageUpdates::PackageUpdateManager *>(m_updateManager))
        return Enums::Method::PackageUpdate;
    if (dynamic_cast<ResetUpdates::ResetUpdateManager *>(m_updateManager))
        return Enums::Method::ResetUpdate;
    return Enums::Method::Unknown;
}

OsInfo &Service::data()
{
    if (OsInfo *info = m_infos.find(method()))
        return *info;
    qWarning() << Q_FUNC_INFO << "Writing to non-existent OsInfo!";
    static OsInfo scratch;
    return scratch;
}

void Service::Check(const QString &version, bool forceRefresh)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << boolText(forceRefresh);
    if (!admits(false))
        return;
    if (!m_infos.isEmpty() && !forceRefresh)
        return;
    setStatus(Enums::Status::Checking);
    m_metadataManager->getMetadata(version);
}

void Service::SetMethod(Corvane::Enums::Method method)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << Enums::key(method);
    if (!admits(false))
        return;
    setMethod(method);
}

void Service::Download()
{
    qDebug() << Q_FUNC_INFO << "is called.";
    if (!admits(true))
        return;
    setStatus(Enums::Status::Downloading);
    m_updateManager->download(version());
}

void Service::DownloadVendorData(const QString &url)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << url;
    if (!admits(true))
        return;
    setStatus(Enums::Status::Downloading);
    // Another URL's file is fetched from its first byte: until that ends, what is on disk is
    // not the vendor data of the URL the property names.
    if (url != current().vendorDataUrl)
        setIsVendorDataDownloaded(false);
    setVendorDataUrl(url);
    m_updateManager->downloadVendorData(url);
}

void Service::CancelDownload()
{
    qDebug() << Q_FUNC_INFO << "is called.";
    if (!isPrivileged() || m_status != Enums::Status::Downloading)
        return;
    if (refuseWithoutMethod())
        return;
    m_updateManager->cancelDownload();
}

void Service::Install(bool reboot)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << boolText(reboot);
    if (!admits(true))
        return;
    const OsInfo info = current();
    if (!info.isDownloaded) {
        emit Error(
            Enums::UpdateError::InternalError, QStringLiteral("OS update is not downloaded"));
        return;
    }
    if (QStorageInfo::root().bytesAvailable() < info.installSize) {
        emit Error(
            Enums::UpdateError::LowDisk, QStringLiteral("Not enough disk space for OS update"));
        return;
    }
    const int charge = m_batteryStatus->chargePercentage();
    if (charge < 0) {
        qWarning() << Q_FUNC_INFO << "Battery charge status is not available";
    } else if (charge < MinimumBatteryCharge) {
        emit Error(Enums::UpdateError::LowBattery,
            QStringLiteral("Battery charge is too low for OS update"));
        return;
    }
    setStatus(Enums::Status::Installing);
    m_updateManager->install(version(), reboot);
}

bool Service::admits(bool needsMethod)
{
    return isPrivileged() && !refuseWhenBusy() && !(needsMethod && refuseWithoutMethod());
}

bool Service::refuseWhenBusy()
{
    if (m_status == Enums::Status::Idle)
        return false;
    emit Error(Enums::UpdateError::BusyError, QStringLiteral("Corvane is busy"));
    return true;
}

bool Service::refuseWithoutMethod()
{
    if (m_updateManager)
        return false;
    emit Error(Enums::UpdateError::InternalError, QStringLiteral("Update method is not set"));
    return true;
}

void Service::setMethod(Enums::Method method)
{
    qDebug().noquote() << Q_FUNC_INFO << "New method:" << Enums::key(method);
    const MethodList methods = m_infos.methods();
    if (method == Enums::Method::Any) {
        if (methods.isEmpty()) {
            onError(Enums::UpdateError::InternalError,
                QStringLiteral("There are no supported methods, currenlty"));
            return;
        }
        method = methods.first();
    } else if (!methods.contains(method)) {
        onError(Enums::UpdateError::InternalError, QStringLiteral("Method is not supported"));
        return;
    }
    releaseUpdateManager();

    QObject *manager = nullptr;
    if (method == Enums::Method::PackageUpdate)
        manager = new PackageUpdates::PackageUpdateManager(this);
    else if (method == Enums::Method::ResetUpdate)
        manager = new ResetUpdates::ResetUpdateManager(m_insecure, -1, this);
    if (!manager) {
        onError(Enums::UpdateError::InternalError, QStringLiteral("Method is not supported"));
        return;
    }
    m_updateManager = dynamic_cast<UpdateManager *>(manager);

    // The managers' signals by their string signatures: the interface is no QObject.
    static const char *const links[][2] = {
        {SIGNAL(downloadProgress(int, qint64)), SLOT(onDownloadProgress(int, qint64))},
        {SIGNAL(prepareFinished(qint64, qint64)), SLOT(onPrepareFinished(qint64, qint64))},
        {SIGNAL(downloadFinished()), SLOT(onDownloadFinished())},
        {SIGNAL(downloadCancelled()), SLOT(onDownloadCancelled())},
        {SIGNAL(downloadVendorDataFinished()), SLOT(onDownloadVendorDataFinished())},
        {SIGNAL(downloadVendorDataCancelled()), SLOT(onDownloadVendorDataCancelled())},
        {SIGNAL(installFinished()), SLOT(onInstallFinished())},
        {SIGNAL(packagesToRemove(QStringList)), SLOT(setPackagesToRemove(QStringList))},
        {SIGNAL(error(Corvane::Enums::UpdateError, QString)),
            SLOT(onError(Corvane::Enums::UpdateError, QString))},
    };
    for (const auto &link : links)
        connect(manager, link[0], this, link[1]);

    emit methodChanged();
    emitInfoChanged();

    qDebug() << Q_FUNC_INFO << "Checking for additional OS update info...";
    setStatus(Enums::Status::Preparing);
    m_updateManager->prepare(version());
}

void Service::releaseUpdateManager()
{
    if (!m_updateManager)
        return;
    auto *object = dynamic_cast<QObject *>(m_updateManager);
    // A released manager must not reach the service any more, whatever it still has queued.
    object->disconnect(this);
    object->deleteLater();
    m_updateManager = nullptr;
}

void Service::onCheckFinished(QHash<Enums::Method, QString> versions)
{
    qDebug() << Q_FUNC_INFO << "Initial check is finished successfully";
    m_infos.merge(versions);
    emit supportedMethodsChanged();

    if (m_infos.isEmpty()) {
        clearData(true);
        setStatus(Enums::Status::Idle);
    } else {
        setMethod(Enums::Method::Any);
    }
}

void Service::onPrepareFinished(qlonglong downloadSize, qlonglong installSize)
{
    qDebug() << Q_FUNC_INFO << "Check() is finished successfully:" << downloadSize << installSize;
    setSize(downloadSize);
    setInstallSize(installSize);
    setStatus(Enums::Status::Idle);
    writeCache();
}

void Service::onDownloadProgress(int progress, qlonglong bytes)
{
    qDebug() << Q_FUNC_INFO << "Download progress:" << progress << "bytes:" << bytes;
    setDownloadedSize(bytes);
    emit DownloadProgress(progress);
}

void Service::onDownloadFinished()
{
    qDebug() << Q_FUNC_INFO << "Download() is finished successfully";
    setDownloadedSize(size());
    setIsDownloaded(true);
    setStatus(Enums::Status::Idle);
    writeCache();
}

void Service::onDownloadCancelled()
{
    qDebug() << Q_FUNC_INFO << "Download() is cancelled";
    setIsDownloaded(false);
    setStatus(Enums::Status::Idle);
    writeCache();
}

void Service::onDownloadVendorDataFinished()
{
    qDebug() << Q_FUNC_INFO << "DownloadVendorData() is finished successfully";
    setIsVendorDataDownloaded(true);
    setStatus(Enums::Status::Idle);
    writeCache();
}

void Service::onDownloadVendorDataCancelled()
{
    qDebug() << Q_FUNC_INFO << "DownloadVendorData() is cancelled";
    setIsVendorDataDownloaded(false);
    setStatus(Enums::Status::Idle);
    writeCache();
}

void Service::onInstallFinished()
{
    qDebug() << Q_FUNC_INFO << "Install() is finished successfully";
    resetCache();
    setStatus(Enums::Status::Idle);
}

void Service::onError(Corvane::Enums::UpdateError error, QString details)
{
    qDebug().noquote() << Q_FUNC_INFO << "Error occurred:" << Enums::key(error)
                       << "message:" << details;
    emit Error(error, details);
    setStatus(Enums::Status::Idle);
}

void Service::setStatus(Enums::Status status)
{
    QMutexLocker locker(&m_statusMutex);
    qDebug().noquote() << Q_FUNC_INFO << "New status:" << Enums::key(status);
    if (status == Enums::Status::Idle)
        m_shutdownTimer.start();
    else
        m_shutdownTimer.stop();
    m_status = status;
    emit statusChanged();
}

void Service::setCodeName(QString codeName)
{
    qDebug().noquote() << Q_FUNC_INFO << "New code name:" << codeName;
    data().codeName = codeName;
    emit codeNameChanged();
}

void Service::setCover(QString cover)
{
    qDebug().noquote() << Q_FUNC_INFO << "New cover:" << cover;
    data().cover = cover;
    emit coverChanged();
}

void Service::setSummary(QString summary)
{
    qDebug().noquote() << Q_FUNC_INFO << "New summary:" << summary;
    data().summary = summary;
    emit summaryChanged();
}

void Service::setWebsite(QString website)
{
    qDebug().noquote() << Q_FUNC_INFO << "New website:" << website;
    data().website = website;
    emit websiteChanged();
}

void Service::setPackagesToRemove(QStringList packages)
{
    qDebug().noquote() << Q_FUNC_INFO
                       << "New packages to remove:" << packages.join(QStringLiteral(", "));
    data().packagesToRemove = packages;
    emit packagesToRemoveChanged();
}

void Service::setSize(qlonglong size)
{
    qDebug() << Q_FUNC_INFO << "New download size:" << size;
    data().size = size;
    emit sizeChanged();
}

void Service::setInstallSize(qlonglong size)
{
    qDebug() << Q_FUNC_INFO << "New install size:" << size;
    data().installSize = size;
}

void Service::setDownloadedSize(qlonglong size)
{
    qDebug() << Q_FUNC_INFO << "New downloaded size:" << size;
    data().downloadedSize = size;
    emit downloadedSizeChanged();
}

void Service::setIsDownloaded(bool isDownloaded)
{
    qDebug().noquote() << Q_FUNC_INFO << "Update is downloaded:" << boolText(isDownloaded);
    data().isDownloaded = isDownloaded;
    emit isDownloadedChanged();
}

void Service::setVendorDataUrl(QString vendorDataUrl)
{
    qDebug().noquote() << Q_FUNC_INFO << "New vendor-data URL:" << vendorDataUrl;
    data().vendorDataUrl = vendorDataUrl;
    emit vendorDataUrlChanged();
}

void Service::setIsVendorDataDownloaded(bool isVendorDataDownloaded)
{
    qDebug().noquote() << Q_FUNC_INFO
                       << "Vendor-data is downloaded:" << boolText(isVendorDataDownloaded);
    data().isVendorDataDownloaded = isVendorDataDownloaded;
    emit isVendorDataDownloadedChanged();
}

void Service::setLastChecked(QDateTime lastChecked)
{
    qDebug().noquote() << Q_FUNC_INFO
                       << "New last checked timestamp:" << lastChecked.toString(Qt::ISODateWithMs);
    data().lastChecked = lastChecked;
    emit lastCheckedChanged();
}

void Service::emitInfoChanged()
{
    // Every property read from the current method's record.
    emit versionChanged();
    emit codeNameChanged();
    emit coverChanged();
    emit summaryChanged();
    emit websiteChanged();
    emit packagesToRemoveChanged();
    emit sizeChanged();
    emit downloadedSizeChanged();
    emit isDownloadedChanged();
    emit vendorDataUrlChanged();
    emit isVendorDataDownloadedChanged();
    emit lastCheckedChanged();
}

void Service::clearData(bool writeToCache)
{
    qDebug() << Q_FUNC_INFO << "Clearing internal data...";
    m_infos.clear();
    if (m_updateManager) {
        releaseUpdateManager();
        emit methodChanged();
    }
    if (writeToCache)
        resetCache();

    emit supportedMethodsChanged();
    emitInfoChanged();
}

bool Service::isPrivileged()
{
    qDebug() << Q_FUNC_INFO << "Checking privileges...";
    if (!calledFromDBus())
        return true;

    QDBusConnectionInterface *bus = connection().interface();
    const QString sender = message().service();
    const uint pid = bus->servicePid(sender).value();
    const QFileInfo process(QStringLiteral("/proc/%1").arg(pid));
    uint uid = 0;
    const CallerCheck::Verdict verdict = CallerCheck::judge(
        process.owner(), process.group(),
        [this] {
            return m_accessPolicy->osUpdatesEnabled();
        },
        [&] {
            uid = bus->serviceUid(sender).value();
            return zovoveva_access_control_hasgroup(uid, "zovoveva-system");
        });
    if (verdict == CallerCheck::Verdict::Allowed)
        return true;
    qWarning() << Q_FUNC_INFO << CallerCheck::warning(verdict);
    sendErrorReply(QDBusError::AccessDenied, CallerCheck::refusal(verdict, pid, uid));
    return false;
}

void Service::writeCache() const
{
    OsInfoCache::write(m_infos.records(method()));
}

void Service::readCache()
{
    m_infos.restore(OsInfoCache::read());
    emit supportedMethodsChanged();

    if (!m_infos.isEmpty())
        setMethod(Enums::Method::Any);
}

void Service::resetCache() const
{
    OsInfoCache::reset();
}

} // namespace Corvane
