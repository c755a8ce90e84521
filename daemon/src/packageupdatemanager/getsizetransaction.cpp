#include "getsizetransaction.h"

#include <PackageKit/Daemon>

namespace Corvane {
namespace PackageUpdates {

GetSizeTransaction::GetSizeTransaction(const QString &configurationName)
    : m_distroId(QStringLiteral("ext::query-sizes:%1").arg(configurationName))
{
}

void GetSizeTransaction::start()
{
    PackageKit::Transaction *transaction =
        PackageKit::Daemon::upgradeSystem(m_distroId, PackageKit::Transaction::UpgradeKindComplete,
            PackageKit::Transaction::TransactionFlagOnlyTrusted |
                PackageKit::Transaction::TransactionFlagSimulate);
    connect(transaction, &PackageKit::Transaction::details, this, &GetSizeTransaction::onDetails);
    connect(transaction, &PackageKit::Transaction::finished, this, &GetSizeTransaction::onFinished);
    connect(transaction, &PackageKit::Transaction::errorCode, this, &GetSizeTransaction::onError);
}

void GetSizeTransaction::onDetails(PackageKit::Details values)
{
    const QString id = values.packageId();
    const auto size = static_cast<qint64>(values.size());
    if (id == QLatin1String("::DOWNLOAD"))
        m_bytesToDownload = size;
    else if (id == QLatin1String("::INSTALL"))
        m_bytesToInstall = size;
    else if (id == QLatin1String("::REMOVE"))
        m_bytesToRemove = size;
}

void GetSizeTransaction::onFinished(PackageKit::Transaction::Exit status, uint)
{
    if (status == PackageKit::Transaction::ExitSuccess) {
        emit sizeAvailable(m_bytesToDownload, m_bytesToInstall - m_bytesToRemove);
        emit success();
    } else {
        emit failure(m_errorDetails);
    }
    emit finished();
    deleteLater();
}

void GetSizeTransaction::onError(PackageKit::Transaction::Error, QString details)
{
    m_errorDetails = details;
}

} // namespace PackageUpdates
} // namespace Corvane
