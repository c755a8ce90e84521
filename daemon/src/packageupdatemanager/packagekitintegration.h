#pragma once

#include "enums.h"

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QStringList>

#include <functional>

namespace Corvane {

class SsuIntegration;

namespace PackageUpdates {

class Transaction;

/**
 * Chains the package transactions into the two jobs of the package update method: the size
 * query of a prepare, and the download (simulate, resolve, download). Every transaction
 * failure reaches the caller as error(PackageError, details).
 *
 * While a transaction runs with the SSU release switched and repositories disabled, the release
 * it replaced and the repositories to enable again are kept in the cache directory's
 * "ssu-version" and "disabled-repos" files; the first runner of a process puts them back.
 */
class PackagekitIntegration : public QObject
{
    Q_OBJECT

public:
    explicit PackagekitIntegration(QObject *parent = nullptr);

    void prepare(const QString &version);
    void download(const QString &version);
    // Cancels the running download step, if any.
    void cancel();

signals:
    void downloadProgress(int value);
    void downloadFinished();
    void downloadCancelled();
    void getSizeFinished(qlonglong downloadSize, qlonglong installSize);
    void packagesToRemove(QStringList packages);
    void error(Enums::UpdateError error, QString details);

private slots:
    void onError(QString details);
    void onPackagesResolved(QStringList packages);

private:
    Transaction *wrapInRepositoryTransaction(Transaction *transaction, const QString &version,
        bool restoreRelease, const QStringList &repositories);
    void collectPackageNames(const QStringList &packageIds);
    void resolvePackages(const QString &version);
    void downloadPackages(const QString &version);
    struct StepOutcome
    {
        bool succeeded = false;
        bool cancelled = false;
        bool failed = false;
        QString details;
        bool reported = false;
    };

    // Starts a step and reports its outcome only when its wrapper has finished, that is when
    // the release and the repositories are back: a client that goes on at once must find the
    // device as it was. onSuccess runs in place of a report when the step succeeded.
    QSharedPointer<StepOutcome> startReportingWhenRestored(
        Transaction *step, Transaction *started, std::function<void()> onSuccess);
    void restoreInterruptedChanges();
    void enableDisabledRepos(const QStringList &repos);

    QPointer<Transaction> m_currentTransaction;
    QStringList m_packageNames;
    // Shared with the repository wrappers, which may still be restoring when this is gone.
    QSharedPointer<SsuIntegration> m_ssu;
    // The running download step's outcome, until it is reported.
    QSharedPointer<StepOutcome> m_stepOutcome;
};

} // namespace PackageUpdates
} // namespace Corvane
