#include "transaction.h"

namespace Corvane {
namespace PackageUpdates {

Transaction::Transaction()
    : QObject(nullptr)
{
}

bool Transaction::restoreReposAfterStart()
{
    return false;
}

void Transaction::cancel()
{
    deleteLater();
    emit failure(QStringLiteral("Transaction cancelled"));
    emit finished();
    // The PackageKit work still runs and may report before the deferred deletion; whatever it
    // says now must not become a second outcome.
    blockSignals(true);
}

} // namespace PackageUpdates
} // namespace Corvane
