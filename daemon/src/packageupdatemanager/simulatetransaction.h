#pragma once

#include "transaction.h"

#include <PackageKit/Transaction>

#include <QStringList>

namespace Corvane {
namespace PackageUpdates {

// Asks PackageKit which packages the full upgrade to the configuration package would update
// and which it would remove.
class SimulateTransaction : public Transaction
{
    Q_OBJECT

public:
    explicit SimulateTransaction(const QString &distroId);

    void start() override;

signals:
    void packagesRemoved(QStringList packages);
    void packagesUpdated(QStringList packages);

private slots:
    void onFinished(PackageKit::Transaction::Exit status, uint runtime);
    void onError(PackageKit::Transaction::Error error, QString details);
    void onPackage(PackageKit::Transaction::Info info, QString packageId, QString summary);

private:
    QString m_distroId;
    QString m_errorDetails;
    QStringList m_removed;
    QStringList m_updated;
};

} // namespace PackageUpdates
} // namespace Corvane
