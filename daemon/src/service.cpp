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

#include <algorithm>

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

Enums::Status Service::status() const
{
    return m_status;
}

Enums::Method Service::method() const
{
    if (dynamic_cast<PackageUpdates::PackageUpdateManager *>(m_updateManager))
        return Enums::Method::PackageUpdate;
    if (dynamic_cast<ResetUpdates::ResetUpdateManager *>(m_updateManager))
        return Enums::Method::ResetUpdate;
    return Enums::Method::Unknown;
}

QString Service::version() const
{
    return current().version;
}

MethodList Service::supportedMethods() const
{
    return m_methodOrder;
}

QString Service::codeName() const
{
    return current().codeName;
}

QString Service::cover() const
{
    return current().cover;
}

QString Service::summary() const
{
    return current().summary;
}

QString Service::website() const
{
    return current().website;
}

QStringList Service::packagesToRemove() const
{
    return current().packagesToRemove;
}

qlonglong Service::size() const
{
    return current().size;
}

qlonglong Service::downloadedSize() const
{
    return current().downloadedSize;
}

bool Service::isDownloaded() const
{
    return current().isDownloaded;
}

QString Service::vendorDataUrl() const
{
    return current().vendorDataUrl;
}

bool Service::isVendorDataDownloaded() const
{
    return current().isVendorDataDownloaded;
}

qlonglong Service::lastChecked() const
{
    return current().lastChecked.toMSecsSinceEpoch();
}

OsInfo Service::current() const
{
    return m_infos.value(method());
}

OsInfo &Service::data()
{
    const auto it = m_infos.find(method());
    if (it != m_infos.end())
        return it.value();
    qWarning() << Q_FUNC_INFO << "Writing to non-existent OsInfo!";
    static OsInfo scratch;
    return scratch;
}

void Service::Check(const QString &version, bool forceRefresh)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << boolText(forceRefresh);
    if (!isPrivileged())
        return;
    if (refuseWhenBusy())
        return;
    if (!m_infos.isEmpty() && !forceRefresh)
        return;
    setStatus(Enums::Status::Checking);
    m_metadataManager->getMetadata(version);
}

void Service::SetMethod(Corvane::Enums::Method method)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << Enums::key(method);
    if (!isPrivileged())
        return;
    if (refuseWhenBusy())
        return;
    setMethod(method);
}

void Service::Download()
{
    qDebug() << Q_FUNC_INFO << "is called.";
    if (!isPrivileged())
        return;
    if (refuseWhenBusy())
        return;
    if (refuseWithoutMethod())
        return;
    setStatus(Enums::Status::Downloading);
    m_updateManager->download(version());
}

void Service::DownloadVendorData(const QString &url)
{
    qDebug().noquote() << Q_FUNC_INFO << "is called. Args:" << url;
    if (!isPrivileged())
        return;
    if (refuseWhenBusy())
        return;
    if (refuseWithoutMethod())
        return;
    setStatus(Enums::Status::Downloading);
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
    if (!isPrivileged())
        return;
    if (refuseWhenBusy())
        return;
    if (refuseWithoutMethod())
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
    const MethodList methods = supportedMethods();
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
    switch (method) {
    case Enums::Method::PackageUpdate: {
        auto *packageManager = new PackageUpdates::PackageUpdateManager(this);
        m_updateManager = packageManager;
        manager = packageManager;
        break;
    }
    case Enums::Method::ResetUpdate: {
        auto *resetManager = new ResetUpdates::ResetUpdateManager(m_insecure, -1, this);
        m_updateManager = resetManager;
        manager = resetManager;
        break;
    }
    default:
        onError(Enums::UpdateError::InternalError, QStringLiteral("Method is not supported"));
        return;
    }

    connect(manager, SIGNAL(downloadProgress(int, qint64)), this,
        SLOT(onDownloadProgress(int, qint64)));
    connect(manager, SIGNAL(prepareFinished(qint64, qint64)), this,
        SLOT(onPrepareFinished(qint64, qint64)));
    connect(manager, SIGNAL(downloadFinished()), this, SLOT(onDownloadFinished()));
    connect(manager, SIGNAL(downloadCancelled()), this, SLOT(onDownloadCancelled()));
    connect(
        manager, SIGNAL(downloadVendorDataFinished()), this, SLOT(onDownloadVendorDataFinished()));
    connect(manager, SIGNAL(downloadVendorDataCancelled()), this,
        SLOT(onDownloadVendorDataCancelled()));
    connect(manager, SIGNAL(installFinished()), this, SLOT(onInstallFinished()));
    connect(manager, SIGNAL(packagesToRemove(QStringList)), this,
        SLOT(setPackagesToRemove(QStringList)));
    connect(manager, SIGNAL(error(Corvane::Enums::UpdateError, QString)), this,
        SLOT(onError(Corvane::Enums::UpdateError, QString)));

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
    for (auto it = m_infos.begin(); it != m_infos.end();) {
        if (!versions.contains(it.key())) {
            qDebug().noquote() << Q_FUNC_INFO << "Method" << Enums::key(it.key())
                               << "is no longer available";
            m_methodOrder.removeAll(it.key());
            it = m_infos.erase(it);
        } else {
            ++it;
        }
    }
    // New methods join in the order of their numbers, not in the hash's, which changes from
    // one process to the next.
    MethodList found = versions.keys();
    std::sort(found.begin(), found.end());
    for (Enums::Method method : qAsConst(found)) {
        const QString version = versions.value(method);
        qDebug().noquote() << Q_FUNC_INFO << "Method:" << Enums::key(method)
                           << "version:" << version;
        const auto stored = m_infos.constFind(method);
        if (stored == m_infos.cend() || stored->version != version) {
            OsInfo info;
            info.version = version;
            m_infos.insert(method, info);
        }
        if (!m_methodOrder.contains(method))
            m_methodOrder.append(method);
    }
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
    m_methodOrder.clear();
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
    switch (verdict) {
    case CallerCheck::Verdict::Allowed:
        return true;
    case CallerCheck::Verdict::DisabledByMdm:
        qWarning() << Q_FUNC_INFO << "Disabled by MDM";
        break;
    case CallerCheck::Verdict::NotPrivilegedGroup:
        qWarning() << Q_FUNC_INFO << "Not privileged group";
        break;
    case CallerCheck::Verdict::NotSystemUser:
        qWarning() << Q_FUNC_INFO << "Not zovoveva-system group";
        break;
    }
    sendErrorReply(QDBusError::AccessDenied, CallerCheck::refusal(verdict, pid, uid));
    return false;
}

void Service::writeCache() const
{
    // The current method first: the next start selects the first one it reads.
    MethodList order = supportedMethods();
    if (order.removeAll(method()) > 0)
        order.prepend(method());
    OsInfoCache::Records records;
    for (Enums::Method method : qAsConst(order))
        records.append({method, m_infos.value(method)});
    OsInfoCache::write(records);
}

void Service::readCache()
{
    const OsInfoCache::Records records = OsInfoCache::read();
    for (const OsInfoCache::Record &record : records) {
        m_infos.insert(record.method, record.info);
        if (!m_methodOrder.contains(record.method))
            m_methodOrder.append(record.method);
    }
    emit supportedMethodsChanged();

    if (!m_infos.isEmpty())
        setMethod(Enums::Method::Any);
}

void Service::resetCache() const
{
    OsInfoCache::reset();
}

} // namespace Corvane
