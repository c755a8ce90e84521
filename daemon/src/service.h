#pragma once

#include "enums.h"
#include "osinfotable.h"

#include <QDBusContext>
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>

class BatteryStatus;
namespace Zovoveva {
class AccessPolicy;
}

namespace Corvane {

class MetadataManager;
class UpdateManager;

/**
 * The one object the daemon publishes on the system bus. Holds the status with its
 * auto-shutdown timer, the current update method and the update information per method, and
 * runs the update flow that clients drive through the public slots.
 */
class Service : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tessaro.Corvane")

    Q_PROPERTY(Corvane::Enums::Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(Corvane::Enums::Method method READ method NOTIFY methodChanged)
    Q_PROPERTY(QString version READ version NOTIFY versionChanged)
    Q_PROPERTY(
        Corvane::MethodList supportedMethods READ supportedMethods NOTIFY supportedMethodsChanged)
    Q_PROPERTY(QString codeName READ codeName NOTIFY codeNameChanged)
    Q_PROPERTY(QString cover READ cover NOTIFY coverChanged)
    Q_PROPERTY(QString summary READ summary NOTIFY summaryChanged)
    Q_PROPERTY(QString website READ website NOTIFY websiteChanged)
    Q_PROPERTY(QStringList packagesToRemove READ packagesToRemove NOTIFY packagesToRemoveChanged)
    Q_PROPERTY(qlonglong size READ size NOTIFY sizeChanged)
    Q_PROPERTY(qlonglong downloadedSize READ downloadedSize NOTIFY downloadedSizeChanged)
    Q_PROPERTY(bool isDownloaded READ isDownloaded NOTIFY isDownloadedChanged)
    Q_PROPERTY(QString vendorDataUrl READ vendorDataUrl NOTIFY vendorDataUrlChanged)
    Q_PROPERTY(bool isVendorDataDownloaded READ isVendorDataDownloaded NOTIFY
            isVendorDataDownloadedChanged)
    Q_PROPERTY(qlonglong lastChecked READ lastChecked NOTIFY lastCheckedChanged)

public:
    Service(bool insecure, bool autoShutdown, QObject *parent = nullptr);
    ~Service() override;

    Enums::Status status() const { return m_status; }
    // From the type of the update manager, so that it can never disagree with it.
    Enums::Method method() const;
    QString version() const { return current().version; }
    MethodList supportedMethods() const { return m_infos.methods(); }
    QString codeName() const { return current().codeName; }
    QString cover() const { return current().cover; }
    QString summary() const { return current().summary; }
    QString website() const { return current().website; }
    QStringList packagesToRemove() const { return current().packagesToRemove; }
    qlonglong size() const { return current().size; }
    qlonglong downloadedSize() const { return current().downloadedSize; }
    bool isDownloaded() const { return current().isDownloaded; }
    QString vendorDataUrl() const { return current().vendorDataUrl; }
    bool isVendorDataDownloaded() const { return current().isVendorDataDownloaded; }
    qlonglong lastChecked() const { return current().lastChecked.toMSecsSinceEpoch(); }

signals:
    void Error(Corvane::Enums::UpdateError error, QString details);
    void DownloadProgress(int progress);
    void statusChanged();
    void methodChanged();
    void versionChanged();
    void supportedMethodsChanged();
    void codeNameChanged();
    void coverChanged();
    void summaryChanged();
    void websiteChanged();
    void packagesToRemoveChanged();
    void sizeChanged();
    void downloadedSizeChanged();
    void isDownloadedChanged();
    void vendorDataUrlChanged();
    void isVendorDataDownloadedChanged();
    void lastCheckedChanged();

public slots:
    void Check(const QString &version, bool forceRefresh);
    void SetMethod(Corvane::Enums::Method method);
    void Download();
    void DownloadVendorData(const QString &url);
    void CancelDownload();
    void Install(bool reboot);

private slots:
    void writeCache() const;
    void onCheckFinished(QHash<Enums::Method, QString> versions);
    void onPrepareFinished(qlonglong downloadSize, qlonglong installSize);
    void onDownloadProgress(int progress, qlonglong bytes);
    void onDownloadFinished();
    void onDownloadCancelled();
    void onDownloadVendorDataFinished();
    void onDownloadVendorDataCancelled();
    void onInstallFinished();
    void onError(Corvane::Enums::UpdateError error, QString details);
    void setStatus(Enums::Status status);
    void setCodeName(QString codeName);
    void setCover(QString cover);
    void setSummary(QString summary);
    void setWebsite(QString website);
    void setPackagesToRemove(QStringList packages);
    void setSize(qlonglong size);
    void setInstallSize(qlonglong size);
    void setDownloadedSize(qlonglong size);
    void setIsDownloaded(bool isDownloaded);
    void setVendorDataUrl(QString vendorDataUrl);
    void setIsVendorDataDownloaded(bool isVendorDataDownloaded);
    void setLastChecked(QDateTime lastChecked);
    void clearData(bool writeToCache = true);

private:
    // The record of the current method, or a default one when there is none.
    OsInfo current() const { return m_infos.value(method()); }
    // Writable record of the current method; writes without one land in a scratch record.
    OsInfo &data();
    void setMethod(Enums::Method method);
    // A privileged caller, an idle service and, when needed, a method; a refusal is answered.
    bool admits(bool needsMethod);
    // Each emits the refusal as an Error signal and returns true when the call must stop.
    bool refuseWhenBusy();
    bool refuseWithoutMethod();
    void releaseUpdateManager();
    [[nodiscard]] bool isPrivileged();
    // The change signals of the properties that come from the current method's record.
    void emitInfoChanged();
    void readCache();
    void resetCache() const;

    UpdateManager *m_updateManager = nullptr;
    MetadataManager *m_metadataManager;
    QTimer m_shutdownTimer;
    QMutex m_statusMutex;
    Enums::Status m_status = Enums::Status::Idle;
    OsInfoTable m_infos;
    Zovoveva::AccessPolicy *m_accessPolicy;
    bool m_insecure;
    BatteryStatus *m_batteryStatus;
};

} // namespace Corvane
