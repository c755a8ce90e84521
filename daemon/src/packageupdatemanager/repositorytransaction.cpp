#include "repositorytransaction.h"

#include "ssuintegration.h"

#include <PackageKit/Daemon>

#include <QDebug>
#include <QMetaEnum>

namespace Corvane {
namespace PackageUpdates {

namespace {
QString enabledText(bool enabled)
{
    return enabled ? QStringLiteral("enabling") : QStringLiteral("disabling");
}
} // namespace

RepositoryTransaction::RepositoryTransaction(Transaction *transaction, const QString &version,
    bool restoreRelease, const QStringList &requiredRepos, SsuIntegration *ssu)
    : m_transaction(transaction)
    , m_version(version)
    , m_restoreRelease(restoreRelease)
    , m_requiredRepos(requiredRepos)
    , m_ssu(ssu)
{
    if (!transaction)
        return;
    Q_ASSERT_X(transaction->parent() == nullptr, Q_FUNC_INFO, "tx->parent() == nullptr");
    transaction->setParent(this);
    connect(transaction, &Transaction::finished, this,
        &RepositoryTransaction::slotWrappedTransactionFinished);
    connect(transaction, &Transaction::success, this, &Transaction::success);
    connect(transaction, &Transaction::failure, this,
        &RepositoryTransaction::slotWrappedTransactionFailure);
}

void RepositoryTransaction::start()
{
    if (!m_version.isEmpty()) {
        m_oldRelease = m_ssu->release();
        setSsuVersion(m_version);
    }
    PackageKit::Transaction *list =
        PackageKit::Daemon::getRepoList(PackageKit::Transaction::FilterNone);
    connect(list, &PackageKit::Transaction::repoDetail, this,
        &RepositoryTransaction::slotGotRepository);
    connect(list, &PackageKit::Transaction::finished, this,
        &RepositoryTransaction::slotListReposFinished);
}

void RepositoryTransaction::cancel()
{
    if (m_transaction) {
        m_transaction->cancel();
        m_transaction = nullptr;
    }
}

void RepositoryTransaction::setSsuVersion(const QString &version)
{
    qDebug().noquote() << Q_FUNC_INFO << "new version" << version << "current version"
                       << m_ssu->release();
    if (!version.isEmpty() && version != m_ssu->release()) {
        qDebug().noquote() << Q_FUNC_INFO << "changing SSU release:" << version;
        m_ssu->setRelease(version);
    }
}

void RepositoryTransaction::restoreSsuVersion()
{
    if (!m_oldRelease.isEmpty() && (m_wrappedFailed || m_restoreRelease)) {
        qDebug() << Q_FUNC_INFO << "Resetting ssu version";
        setSsuVersion(m_oldRelease);
    }
}

void RepositoryTransaction::slotGotRepository(QString repoId, QString description, bool enabled)
{
    qDebug().noquote() << Q_FUNC_INFO << "Repository:" << repoId << description
                       << (enabled ? "true" : "false");
    m_repositories.insert(repoId, enabled);
}

void RepositoryTransaction::slotListReposFinished(PackageKit::Transaction::Exit, uint)
{
    verifyRequired();
}

void RepositoryTransaction::verifyRequired()
{
    QStringList missing;
    for (const QString &repo : qAsConst(m_requiredRepos)) {
        if (!m_repositories.value(repo, false))
            missing.append(repo);
    }
    if (!missing.isEmpty()) {
        qDebug().noquote() << Q_FUNC_INFO << "enabling missing repos" << missing;
        m_ssu->modifyRepos(missing);
    }
    m_repoQueue = nonRequiredRepos();
    isolateNext();
}

QStringList RepositoryTransaction::nonRequiredRepos() const
{
    QStringList result;
    for (auto it = m_repositories.cbegin(); it != m_repositories.cend(); ++it) {
        if (!m_requiredRepos.contains(it.key()))
            result.append(it.key());
    }
    return result;
}

void RepositoryTransaction::isolateNext()
{
    if (m_repoQueue.isEmpty()) {
        startWrapped();
        return;
    }
    m_currentRepo = m_repoQueue.takeFirst();
    const bool current = m_repositories.value(m_currentRepo, false);
    const bool wanted = m_requiredRepos.contains(m_currentRepo);
    qDebug().noquote() << Q_FUNC_INFO << enabledText(wanted) << m_currentRepo;
    if (current == wanted) {
        isolateNext();
        return;
    }
    PackageKit::Transaction *change = PackageKit::Daemon::repoEnable(m_currentRepo, wanted);
    connect(change, &PackageKit::Transaction::finished, this,
        &RepositoryTransaction::slotIsolateRepositoryFinished);
    connect(change, &PackageKit::Transaction::errorCode, this,
        &RepositoryTransaction::slotRepositoryModificationError);
}

void RepositoryTransaction::slotIsolateRepositoryFinished(
    PackageKit::Transaction::Exit status, uint)
{
    if (status == PackageKit::Transaction::ExitSuccess)
        isolateNext();
    else
        failWith({m_currentRepo});
}

void RepositoryTransaction::startWrapped()
{
    if (!m_transaction) {
        slotWrappedTransactionFinished();
        return;
    }
    m_transaction->start();
    if (m_transaction && m_transaction->restoreReposAfterStart()) {
        m_repoQueue = nonRequiredRepos();
        restoreNext(true);
    }
}

void RepositoryTransaction::slotWrappedTransactionFailure(QString details)
{
    m_wrappedFailed = true;
    qDebug().noquote() << Q_FUNC_INFO << "Wrapped transaction failed:" << details;
}

void RepositoryTransaction::slotWrappedTransactionFinished()
{
    if (m_transaction && m_transaction->restoreReposAfterStart()) {
        restoreSsuVersion();
        deleteLater();
        emit finished();
        return;
    }
    m_repoQueue = nonRequiredRepos();
    restoreNext(false);
}

void RepositoryTransaction::restoreNext(bool noWait)
{
    if (m_repoQueue.isEmpty()) {
        if (!noWait) {
            restoreSsuVersion();
            deleteLater();
            emit success();
            emit finished();
        }
        return;
    }
    m_currentRepo = m_repoQueue.takeFirst();
    const bool previous = m_repositories.value(m_currentRepo, false);
    const bool isolated = m_requiredRepos.contains(m_currentRepo);
    qDebug().noquote() << Q_FUNC_INFO << enabledText(previous) << m_currentRepo;
    if (previous == isolated) {
        restoreNext(noWait);
        return;
    }
    PackageKit::Transaction *change = PackageKit::Daemon::repoEnable(m_currentRepo, previous);
    if (noWait) {
        restoreNext(true);
        return;
    }
    connect(change, &PackageKit::Transaction::finished, this,
        &RepositoryTransaction::slotRestoreRepositoryFinished);
    connect(change, &PackageKit::Transaction::errorCode, this,
        &RepositoryTransaction::slotRepositoryModificationError);
}

void RepositoryTransaction::slotRestoreRepositoryFinished(PackageKit::Transaction::Exit, uint)
{
    restoreNext(false);
}

void RepositoryTransaction::slotRepositoryModificationError(
    PackageKit::Transaction::Error error, QString details)
{
    const char *name =
        QMetaEnum::fromType<PackageKit::Transaction::Error>().valueToKey(static_cast<int>(error));
    qDebug().noquote() << Q_FUNC_INFO << "Failure modifying repository: "
                       << (name ? QString::fromLatin1(name) : QString::number(error)) << details;
}

void RepositoryTransaction::failWith(const QStringList &messages)
{
    cancel();
    restoreSsuVersion();
    deleteLater();
    emit failure(messages.join(QLatin1Char(' ')));
    emit finished();
}

} // namespace PackageUpdates
} // namespace Corvane
