#include "repositorytransaction.h"

#include "repositorygate.h"
#include "ssuintegration.h"
#include "util.h"

#include <PackageKit/Daemon>

#include <QDebug>
#include <QFile>
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
    bool restoreRelease, const QStringList &requiredRepos, QSharedPointer<SsuIntegration> ssu)
    : m_transaction(transaction)
    , m_version(version)
    , m_restoreRelease(restoreRelease)
    , m_requiredRepos(requiredRepos)
    , m_ssu(std::move(ssu))
    , m_restoreAfterStart(transaction && transaction->restoreReposAfterStart())
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
    m_stage = Stage::Queued;
    RepositoryGate::enter(this, [this] {
        begin();
    });
}

void RepositoryTransaction::begin()
{
    if (m_stage != Stage::Queued)
        return;
    m_stage = Stage::Listing;
    m_began = true;
    // Repositories an earlier start could not enable again stay recorded beside ours.
    QFile leftovers(disabledReposFilePath());
    if (leftovers.open(QIODevice::ReadOnly))
        m_inherited =
            QString::fromUtf8(leftovers.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    writeFileAtomically(ssuVersionFilePath(), m_ssu->release().toUtf8());
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
    if (m_abandoned) {
        restoreAndEnd();
        return;
    }
    m_stage = Stage::Isolating;
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

    QStringList toDisable;
    for (const QString &repo : qAsConst(m_repoQueue)) {
        if (m_repositories.value(repo, false))
            toDisable.append(repo);
    }
    // Before the first change, so that a crash at any later point knows what to enable again.
    if (!toDisable.isEmpty())
        recordDisabledRepos(toDisable);
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
    if (m_abandoned) {
        restoreAndEnd();
        return;
    }
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
    m_lastError.clear();
    PackageKit::Transaction *change = PackageKit::Daemon::repoEnable(m_currentRepo, wanted);
    connect(change, &PackageKit::Transaction::finished, this,
        &RepositoryTransaction::slotIsolateRepositoryFinished);
    connect(change, &PackageKit::Transaction::errorCode, this,
        &RepositoryTransaction::slotRepositoryModificationError);
}

void RepositoryTransaction::slotIsolateRepositoryFinished(
    PackageKit::Transaction::Exit status, uint)
{
    if (status != PackageKit::Transaction::ExitSuccess) {
        failWith(m_lastError.isEmpty() ? m_currentRepo
                                       : QStringLiteral("Failed to disable repository %1: %2")
                                             .arg(m_currentRepo, m_lastError));
        return;
    }
    m_disabled.append(m_currentRepo);
    isolateNext();
}

void RepositoryTransaction::startWrapped()
{
    m_stage = Stage::Running;
    if (!m_transaction) {
        slotWrappedTransactionFinished();
        return;
    }
    m_transaction->start();
    if (m_restoreAfterStart && m_stage == Stage::Running) {
        m_restoresIssued = true;
        m_repoQueue = restoreQueue();
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
    m_transaction = nullptr;
    switch (m_stage) {
    case Stage::Created:
    case Stage::Queued:
        // Ended before its turn: nothing was changed.
        end();
        return;
    case Stage::Listing:
    case Stage::Isolating:
        // Cancelled before it ran; the change in flight decides when to go back.
        m_abandoned = true;
        return;
    case Stage::Running:
        if (m_restoresIssued) {
            restoreSsuVersion();
            end();
        } else {
            restoreAndEnd();
        }
        return;
    case Stage::Restoring:
    case Stage::Ended:
        return;
    }
}

void RepositoryTransaction::restoreAndEnd()
{
    m_stage = Stage::Restoring;
    m_repoQueue = restoreQueue();
    restoreNext(false);
}

QStringList RepositoryTransaction::restoreQueue() const
{
    // A repository that an earlier wrapper could not enable again is tried once more here,
    // rather than staying off until the daemon's next start.
    QStringList queue = m_disabled;
    for (const QString &repo : m_inherited) {
        if (!queue.contains(repo))
            queue.append(repo);
    }
    return queue;
}

void RepositoryTransaction::restored(const QString &repo)
{
    m_disabled.removeOne(repo);
    m_inherited.removeOne(repo);
}

void RepositoryTransaction::restoreNext(bool noWait)
{
    if (m_repoQueue.isEmpty()) {
        if (!noWait) {
            restoreSsuVersion();
            end();
        }
        return;
    }
    m_currentRepo = m_repoQueue.takeFirst();
    qDebug().noquote() << Q_FUNC_INFO << enabledText(true) << m_currentRepo;
    PackageKit::Transaction *change = PackageKit::Daemon::repoEnable(m_currentRepo, true);
    connect(change, &PackageKit::Transaction::errorCode, this,
        &RepositoryTransaction::slotRepositoryModificationError);
    if (!noWait) {
        connect(change, &PackageKit::Transaction::finished, this,
            &RepositoryTransaction::slotRestoreRepositoryFinished);
        return;
    }
    // Not waited for, but counted: the recovery file and the gate are let go only when every
    // repository has been answered.
    ++m_unansweredRestores;
    const QString repo = m_currentRepo;
    connect(change, &PackageKit::Transaction::finished, this,
        [this, repo](PackageKit::Transaction::Exit status, uint) {
            if (status == PackageKit::Transaction::ExitSuccess)
                restored(repo);
            --m_unansweredRestores;
            settleWhenAnswered();
        });
    restoreNext(true);
}

void RepositoryTransaction::slotRestoreRepositoryFinished(
    PackageKit::Transaction::Exit status, uint)
{
    if (status == PackageKit::Transaction::ExitSuccess)
        restored(m_currentRepo);
    restoreNext(false);
}

void RepositoryTransaction::slotRepositoryModificationError(
    PackageKit::Transaction::Error error, QString details)
{
    const char *name =
        QMetaEnum::fromType<PackageKit::Transaction::Error>().valueToKey(static_cast<int>(error));
    qDebug().noquote() << Q_FUNC_INFO << "Failure modifying repository: "
                       << (name ? QString::fromLatin1(name) : QString::number(error)) << details;
    m_lastError = details;
}

void RepositoryTransaction::failWith(const QString &details)
{
    // The wrapped transaction never ran; its cancellation would hide the real cause behind
    // "Transaction cancelled", so it is dropped without a word and the wrapper reports.
    if (m_transaction) {
        m_transaction->disconnect();
        m_transaction->blockSignals(true);
        m_transaction = nullptr;
    }
    m_failure = details;
    restoreAndEnd();
}

void RepositoryTransaction::end()
{
    const Stage stage = m_stage;
    m_stage = Stage::Ended;
    if (m_began)
        QFile::remove(ssuVersionFilePath());
    settleWhenAnswered();

    if (!m_failure.isEmpty()) {
        emit failure(m_failure);
    } else if (stage == Stage::Restoring && !m_abandoned && !m_restoreAfterStart) {
        // Once more on its own, whatever the wrapped outcome, as the wrapped success was
        // already forwarded.
        emit success();
    }
    emit finished();
}

void RepositoryTransaction::settleWhenAnswered()
{
    if (m_stage != Stage::Ended || m_unansweredRestores > 0)
        return;
    // What could not be enabled again stays recorded for the next start to retry. A wrapper
    // that never had its turn must not touch the files of the one that has it.
    if (m_began)
        recordDisabledRepos(m_disabled);
    RepositoryGate::leave(this);
    deleteLater();
}

void RepositoryTransaction::recordDisabledRepos(const QStringList &repos)
{
    QStringList all = m_inherited;
    for (const QString &repo : repos) {
        if (!all.contains(repo))
            all.append(repo);
    }
    if (all.isEmpty()) {
        QFile::remove(disabledReposFilePath());
        return;
    }
    writeFileAtomically(disabledReposFilePath(), all.join(QLatin1Char('\n')).toUtf8() + '\n');
}

} // namespace PackageUpdates
} // namespace Corvane
