#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace Corvane {

// Update information for one method, as the service publishes it and the cache keeps it.
struct OsInfo
{
    QString version;
    QString codeName;
    QString summary;
    QString cover;
    QString website;
    QDateTime lastChecked = QDateTime::currentDateTime();
    qint64 size = -1;
    qint64 downloadedSize = -1;
    qint64 installSize = -1;
    bool isDownloaded = false;
    QString vendorDataUrl;
    bool isVendorDataDownloaded = false;
    QStringList packagesToRemove;
};

} // namespace Corvane
