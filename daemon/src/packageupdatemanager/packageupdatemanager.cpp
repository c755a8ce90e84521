#include "packageupdatemanager.h"

namespace Corvane {
namespace PackageUpdates {

PackageUpdateManager::PackageUpdateManager(QObject *parent)
    : QObject(parent)
{
}

void PackageUpdateManager::prepare(const QString &)
{
    reportNotSupported();
}

void PackageUpdateManager::download(const QString &)
{
    reportNotSupported();
}

void PackageUpdateManager::downloadVendorData(const QString &)
{
    reportNotSupported();
}

void PackageUpdateManager::cancelDownload()
{
    reportNotSupported();
}

void PackageUpdateManager::install(const QString &, bool)
{
    reportNotSupported();
}

void PackageUpdateManager::reportNotSupported()
{
    // Delivered from the event loop, as a real operation's outcome would be.
    QMetaObject::invokeMethod(
        this,
        [this] {
            emit error(Enums::UpdateError::NotSupportedError,
                QStringLiteral("Package updates are not supported by this build"));
        },
        Qt::QueuedConnection);
}

} // namespace PackageUpdates
} // namespace Corvane
