#pragma once

#include "transaction.h"

#include <PackageKit/Transaction>

#include <QPointer>
#include <QSet>
#include <QTimer>

namespace Corvane {
namespace PackageUpdates {

/**
 * Downloads the packages of the minimal upgrade to the configuration package. It shares the
 * package manager politely: when another transaction shows up it cancels its own and starts
 * again once PackageKit has been idle for 30 seconds. A failed attempt is retried three times.
 * A cancellation by the user is reported as cancelled(), not as a failure.
 */
class DownloadTransaction : public Transaction
{
    Q_OBJECT

public:
    explicit DownloadTransaction(const QString &distroId);

    void start() override;
    void cancel() override;
    bool restoreReposAfterStart() override;

private slots:
    void onFinished(PackageKit::Transaction::Exit status, uint runtime);
    void onError(PackageKit::Transaction::Error error, QString details);
    void onProgress();
    void onPackageManagerIdle();
    void onTransactionListChanged(QStringList tids);

private:
    void startUpgrade();
    void judge(PackageKit::Transaction *observed);
    void end();

    int m_retryCount = 0;
    QString m_errorDetails;
    bool m_interrupted = false;
    QTimer m_idleTimer;
    // The library deletes its transactions after they finish: never hold one unguarded.
    QPointer<PackageKit::Transaction> m_upgradeTransaction;
    QString m_distroId;
    // Transaction ids already judged, of those PackageKit still lists.
    QSet<QString> m_judged;
};

} // namespace PackageUpdates
} // namespace Corvane
