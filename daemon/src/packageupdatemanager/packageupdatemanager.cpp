#include "packageupdatemanager.h"

#include "util.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

namespace Corvane {
namespace PackageUpdates {

namespace {
const QString UpdateDirectory = QStringLiteral("/var/lib/zovoveva-update");
const QString UpdateInfoFileName = QStringLiteral("update_info.ini");
const QString TriggerLink = QStringLiteral("/system-update");

} // namespace

PackageUpdateManager::PackageUpdateManager(QObject *parent)
    : QObject(parent)
{
    connect(&m_integration, &PackagekitIntegration::downloadProgress, this, [this](int value) {
        // Division first, as the sizes are whole bytes: 50 % of 250 bytes is 100.
        emit downloadProgress(value, m_downloadSize / 100 * value);
    });
    connect(&m_integration, &PackagekitIntegration::getSizeFinished, this,
        [this](qlonglong download, qlonglong install) {
            m_downloadSize = download;
            emit prepareFinished(download, install);
        });
    connect(&m_integration, &PackagekitIntegration::downloadFinished, this,
        &PackageUpdateManager::downloadFinished);
    connect(&m_integration, &PackagekitIntegration::downloadCancelled, this,
        &PackageUpdateManager::downloadCancelled);
    connect(&m_integration, &PackagekitIntegration::error, this, &PackageUpdateManager::error);
    connect(&m_integration, &PackagekitIntegration::packagesToRemove, this,
        &PackageUpdateManager::packagesToRemove);
}

void PackageUpdateManager::prepare(const QString &version)
{
    m_integration.prepare(version);
}

void PackageUpdateManager::download(const QString &version)
{
    m_integration.download(version);
}

void PackageUpdateManager::downloadVendorData(const QString &)
{
    emit error(Enums::UpdateError::NotSupportedError,
        QStringLiteral("Package updates do not support vendor data installation."));
}

void PackageUpdateManager::cancelDownload()
{
    m_integration.cancel();
}

void PackageUpdateManager::install(const QString &version, bool reboot)
{
    callSystemBus(QStringLiteral("org.nemomobile.lipstick"), QStringLiteral("/shutdown"),
        QStringLiteral("org.nemomobile.lipstick"), QStringLiteral("setShutdownMode"),
        {QStringLiteral("upgrade")});

    QDir directory(UpdateDirectory);
    if (!directory.mkpath(QStringLiteral("."))) {
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Failed to create a directory: ") + UpdateDirectory);
        return;
    }
    QFile info(directory.filePath(UpdateInfoFileName));
    if (!info.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Failed to open update info file: %1 (%2)")
                .arg(info.fileName(), info.errorString()));
        return;
    }
    {
        QTextStream stream(&info);
        stream << "[General]\n"
               << "version=" << version << "\n";
    }
    info.close();

    if (QFile::exists(TriggerLink) && !QFile::remove(TriggerLink)) {
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Failed to remove existing symlink to update info file"));
        return;
    }
    if (!QFile::link(info.fileName(), TriggerLink)) {
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Failed to create a symlink to update info file"));
        return;
    }
    emit installFinished();

    if (reboot) {
        requestReboot();
    }
}

} // namespace PackageUpdates
} // namespace Corvane
