#include "simulatetransaction.h"

#include <PackageKit/Daemon>

namespace Corvane {
namespace PackageUpdates {

SimulateTransaction::SimulateTransaction(const QString &distroId)
    : m_distroId(distroId)
{
}

void SimulateTransaction::start()
{
    PackageKit::Transaction *transaction =
        PackageKit::Daemon::upgradeSystem(m_distroId, PackageKit::Transaction::UpgradeKindComplete,
            PackageKit::Transaction::TransactionFlagOnlyTrusted |
                PackageKit::Transaction::TransactionFlagSimulate);
    connect(transaction, &PackageKit::Transaction::package, this, &SimulateTransaction::onPackage);
    connect(
        transaction, &PackageKit::Transaction::finished, this, &SimulateTransaction::onFinished);
    connect(transaction, &PackageKit::Transaction::errorCode, this, &SimulateTransaction::onError);
}

void SimulateTransaction::onPackage(PackageKit::Transaction::Info info, QString packageId, QString)
{
    if (info == PackageKit::Transaction::InfoUpdating)
        m_updated.append(packageId);
    else if (info == PackageKit::Transaction::InfoRemoving)
        m_removed.append(packageId);
}

void SimulateTransaction::onFinished(PackageKit::Transaction::Exit status, uint)
{
    if (status == PackageKit::Transaction::ExitSuccess) {
        emit packagesRemoved(m_removed);
        emit packagesUpdated(m_updated);
        emit success();
    } else {
        emit failure(m_errorDetails);
    }
    emit finished();
    deleteLater();
}

void SimulateTransaction::onError(PackageKit::Transaction::Error, QString details)
{
    m_errorDetails = details;
}

} // namespace PackageUpdates
} // namespace Corvane
