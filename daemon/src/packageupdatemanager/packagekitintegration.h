#pragma once

#include "enums.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

namespace Corvane {

class SsuIntegration;

namespace PackageUpdates {

class Transaction;

/**
 * Chains the package transactions into the two jobs of the package update method: the size
 * query of a prepare, and the download (simulate, resolve, download). Every transaction
 * failure reaches the caller as error(PackageError, details).
 *
 * While a transaction runs with the SSU release switched, the release it replaced is kept in
 * the cache directory's "ssu-version" file; a runner constructed after a crash puts it back.
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
    void restoreInterruptedRelease();

    QPointer<Transaction> m_currentTransaction;
    QStringList m_packageNames;
    SsuIntegration *m_ssu;
};

} // namespace PackageUpdates
} // namespace Corvane
