#pragma once

#include "transaction.h"

#include <PackageKit/Transaction>

#include <QMap>
#include <QPointer>
#include <QSharedPointer>
#include <QStringList>

namespace Corvane {

class SsuIntegration;

namespace PackageUpdates {

/**
 * Runs another transaction so that it sees the target release's repositories and nothing
 * else: switches the SSU release, enables the required repositories, disables every other
 * one, starts the wrapped transaction, and afterwards puts back what it changed.
 *
 * Takes ownership of the wrapped transaction (it becomes its QObject parent). The wrapped
 * transaction's success is forwarded at once; its failure is not (whoever started the chain
 * listens to the wrapped transaction for that). The wrapper's own failure() reports a
 * repository it could not disable; the wrapped transaction then never runs and stays silent.
 *
 * Only one wrapper at a time changes the release and the repositories (RepositoryGate); a
 * started wrapper waits for its turn. While it holds changes, the cache directory's
 * "ssu-version" names the release to go back to and "disabled-repos" the repositories to
 * enable again, so that a daemon killed in the middle can undo them at its next start.
 *
 * A wrapper that has begun always finishes restoring, whoever else is gone by then: it shares
 * the SSU object with its creator. It deletes itself only once every repository change it
 * made has been answered, which may be after it emitted finished().
 */
class RepositoryTransaction : public Transaction
{
    Q_OBJECT

public:
    RepositoryTransaction(Transaction *transaction, const QString &version, bool restoreRelease,
        const QStringList &requiredRepos, QSharedPointer<SsuIntegration> ssu);

    void start() override;
    void cancel() override;

private slots:
    void slotListReposFinished(PackageKit::Transaction::Exit status, uint runtime);
    void slotIsolateRepositoryFinished(PackageKit::Transaction::Exit status, uint runtime);
    void slotRestoreRepositoryFinished(PackageKit::Transaction::Exit status, uint runtime);
    void slotGotRepository(QString repoId, QString description, bool enabled);
    void slotWrappedTransactionFinished();
    void slotWrappedTransactionFailure(QString details);
    void slotRepositoryModificationError(PackageKit::Transaction::Error error, QString details);

private:
    enum class Stage {
        Created,
        Queued, // waiting for the gate
        Listing,
        Isolating,
        Running,
        Restoring, // waiting for each re-enabled repository
        Ended, // finished() emitted; may still wait for repository replies
    };

    void begin();
    void setSsuVersion(const QString &version);
    void restoreSsuVersion();
    void verifyRequired();
    void isolateNext();
    void restoreNext(bool noWait);
    // What the restore enables: what this wrapper disabled, then what earlier ones left off.
    QStringList restoreQueue() const;
    void restored(const QString &repo);
    QStringList nonRequiredRepos() const;
    void startWrapped();
    void failWith(const QString &details);
    void restoreAndEnd();
    void end();
    void settleWhenAnswered();
    void recordDisabledRepos(const QStringList &repos);

    QMap<QString, bool> m_repositories;
    QPointer<Transaction> m_transaction;
    bool m_wrappedFailed = false;
    QString m_version;
    QString m_oldRelease;
    bool m_restoreRelease;
    QStringList m_requiredRepos;
    QString m_currentRepo;
    QStringList m_repoQueue;
    QSharedPointer<SsuIntegration> m_ssu;

    Stage m_stage = Stage::Created;
    const bool m_restoreAfterStart;
    bool m_began = false;
    bool m_restoresIssued = false;
    // The wrapped transaction ended before it was started: a cancellation.
    bool m_abandoned = false;
    QString m_failure;
    QString m_lastError;
    // Disabled by this wrapper and not yet enabled again, in the order of disabling.
    QStringList m_disabled;
    int m_unansweredRestores = 0;
    // Left in the recovery file by an earlier wrapper that could not enable them again.
    QStringList m_inherited;
};

} // namespace PackageUpdates
} // namespace Corvane
