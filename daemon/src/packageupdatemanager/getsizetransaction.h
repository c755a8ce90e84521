#pragma once

#include "transaction.h"

#include <PackageKit/Details>
#include <PackageKit/Transaction>

namespace Corvane {
namespace PackageUpdates {

// Asks PackageKit how many bytes the upgrade to the configuration package downloads and how
// much disk space it takes, through a simulated upgrade with the size-query distro id.
class GetSizeTransaction : public Transaction
{
    Q_OBJECT

public:
    explicit GetSizeTransaction(const QString &configurationName);

    void start() override;

signals:
    void sizeAvailable(qlonglong bytesToDownload, qlonglong bytesToInstall);

private slots:
    void onFinished(PackageKit::Transaction::Exit status, uint runtime);
    void onError(PackageKit::Transaction::Error error, QString details);
    void onDetails(PackageKit::Details values);

private:
    QString m_distroId;
    QString m_errorDetails;
    qint64 m_bytesToDownload = 0;
    qint64 m_bytesToInstall = 0;
    qint64 m_bytesToRemove = 0;
};

} // namespace PackageUpdates
} // namespace Corvane
