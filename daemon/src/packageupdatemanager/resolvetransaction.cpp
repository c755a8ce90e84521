#include "resolvetransaction.h"

#include <PackageKit/Daemon>

#include <QDebug>

namespace Corvane {
namespace PackageUpdates {

ResolveTransaction::ResolveTransaction(const QStringList &packageNames)
    // The backend answers this entry by putting the repository into each id's data field.
    : m_names(QStringList {QStringLiteral("ext::data:repo")} + packageNames)
{
}

void ResolveTransaction::start()
{
    PackageKit::Transaction *refresh = PackageKit::Daemon::refreshCache(true);
    connect(
        refresh, &PackageKit::Transaction::finished, this, &ResolveTransaction::onRefreshFinished);
    connect(
        refresh, &PackageKit::Transaction::errorCode, this, &ResolveTransaction::onRefreshError);
}

void ResolveTransaction::onRefreshFinished(PackageKit::Transaction::Exit status, uint)
{
    if (status != PackageKit::Transaction::ExitSuccess) {
        qWarning().noquote() << Q_FUNC_INFO << "Failed to refresh cache: " << m_refreshErrorDetails;
        qWarning() << Q_FUNC_INFO << "Will try to resolve on old cache...";
    }
    PackageKit::Transaction *resolve =
        PackageKit::Daemon::resolve(m_names, PackageKit::Transaction::FilterNotSource);
    connect(resolve, &PackageKit::Transaction::package, this, &ResolveTransaction::onPackage);
    connect(resolve, &PackageKit::Transaction::finished, this, &ResolveTransaction::onFinished);
    connect(resolve, &PackageKit::Transaction::errorCode, this, &ResolveTransaction::onError);
}

void ResolveTransaction::onRefreshError(PackageKit::Transaction::Error, QString details)
{
    m_refreshErrorDetails = details;
}

void ResolveTransaction::onPackage(PackageKit::Transaction::Info, QString packageId, QString)
{
    m_resolved.append(packageId);
}

void ResolveTransaction::onFinished(PackageKit::Transaction::Exit status, uint)
{
    emit packagesResolved(m_resolved);
    if (status == PackageKit::Transaction::ExitSuccess)
        emit success();
    else
        emit failure(m_errorDetails);
    emit finished();
    deleteLater();
}

void ResolveTransaction::onError(PackageKit::Transaction::Error, QString details)
{
    m_errorDetails = details;
}

} // namespace PackageUpdates
} // namespace Corvane
