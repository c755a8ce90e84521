#pragma once

#include "transaction.h"

#include <PackageKit/Transaction>

#include <QStringList>

namespace Corvane {
namespace PackageUpdates {

// Refreshes PackageKit's cache, then resolves package names to ids whose data field names the
// repository each package comes from. A failed refresh only means resolving on the old cache.
class ResolveTransaction : public Transaction
{
    Q_OBJECT

public:
    explicit ResolveTransaction(const QStringList &packageNames);

    void start() override;

signals:
    void packagesResolved(QStringList packages);

private slots:
    void onRefreshFinished(PackageKit::Transaction::Exit status, uint runtime);
    void onRefreshError(PackageKit::Transaction::Error error, QString details);
    void onFinished(PackageKit::Transaction::Exit status, uint runtime);
    void onError(PackageKit::Transaction::Error error, QString details);
    void onPackage(PackageKit::Transaction::Info info, QString packageId, QString summary);

private:
    QString m_errorDetails;
    QString m_refreshErrorDetails;
    QStringList m_names;
    QStringList m_resolved;
};

} // namespace PackageUpdates
} // namespace Corvane
