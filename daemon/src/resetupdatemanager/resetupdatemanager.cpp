#include "resetupdatemanager.h"

namespace Corvane {
namespace ResetUpdates {

ResetUpdateManager::ResetUpdateManager(bool insecure, qint64 size, QObject *parent)
    : QObject(parent)
    , m_insecure(insecure)
    , m_size(size)
{
}

void ResetUpdateManager::prepare(const QString &)
{
    reportNotSupported();
}

void ResetUpdateManager::download(const QString &)
{
    reportNotSupported();
}

void ResetUpdateManager::downloadVendorData(const QString &)
{
    reportNotSupported();
}

void ResetUpdateManager::cancelDownload()
{
    reportNotSupported();
}

void ResetUpdateManager::install(const QString &, bool)
{
    reportNotSupported();
}

void ResetUpdateManager::reportNotSupported()
{
    // Delivered from the event loop, as a real operation's outcome would be.
    QMetaObject::invokeMethod(
        this,
        [this] {
            emit error(Enums::UpdateError::NotSupportedError,
                QStringLiteral("Reset updates are not supported by this build"));
        },
        Qt::QueuedConnection);
}

} // namespace ResetUpdates
} // namespace Corvane
