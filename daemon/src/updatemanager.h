#pragma once

#include "enums.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace Corvane {

/**
 * The interface of an update method. Implementations derive from QObject first and from this
 * interface second, and declare the pure virtual signals below as real signals with the same
 * signatures: the service connects to them by their string signatures.
 *
 * Every operation returns at once; its outcome arrives as one of the signals. The service
 * releases the object with deleteLater, and only while none of its operations is running.
 */
class UpdateManager
{
public:
    virtual ~UpdateManager() = default;

    virtual void prepare(const QString &version) = 0;
    virtual void download(const QString &version) = 0;
    virtual void downloadVendorData(const QString &url) = 0;
    virtual void cancelDownload() = 0;
    virtual void install(const QString &version, bool reboot) = 0;

    // signals
    virtual void prepareFinished(qint64 downloadSize, qint64 installSize) = 0;
    virtual void downloadProgress(int progress, qint64 bytes) = 0;
    virtual void downloadFinished() = 0;
    virtual void downloadCancelled() = 0;
    virtual void downloadVendorDataFinished() = 0;
    virtual void downloadVendorDataCancelled() = 0;
    virtual void installFinished() = 0;
    virtual void packagesToRemove(QStringList packages) = 0;
    virtual void error(Corvane::Enums::UpdateError error, QString details) = 0;
};

} // namespace Corvane

Q_DECLARE_INTERFACE(Corvane::UpdateManager, "org.tessaro.Corvane.UpdateManager")
