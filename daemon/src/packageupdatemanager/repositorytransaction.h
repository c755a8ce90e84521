#pragma once

#include "transaction.h"

#include <PackageKit/Transaction>

#include <QMap>
#include <QPointer>
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
 * listens to the wrapped transaction for that).
 */
class RepositoryTransaction : public Transaction
{
    Q_OBJECT

public:
    // The SSU object is not owned and must outlive this transaction.
    RepositoryTransaction(Transaction *transaction, const QString &version, bool restoreRelease,
        const QStringList &requiredRepos, SsuIntegration *ssu);

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
    void setSsuVersion(const QString &version);
    void restoreSsuVersion();
    void verifyRequired();
    void isolateNext();
    void restoreNext(bool noWait);
    QStringList nonRequiredRepos() const;
    void startWrapped();
    void failWith(const QStringList &messages);

    QMap<QString, bool> m_repositories;
    QPointer<Transaction> m_transaction;
    bool m_wrappedFailed = false;
    QString m_version;
    QString m_oldRelease;
    bool m_restoreRelease;
    QStringList m_requiredRepos;
    QString m_currentRepo;
    QStringList m_repoQueue;
    SsuIntegration *m_ssu;
};

} // namespace PackageUpdates
} // namespace Corvane
