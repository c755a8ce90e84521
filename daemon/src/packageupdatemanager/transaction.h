#pragma once

#include <QObject>
#include <QString>

namespace Corvane {
namespace PackageUpdates {

/**
 * One short-lived piece of PackageKit work. Connect its signals, then call start() once.
 *
 * Lifetime: when its work ends the transaction emits its outcome (success, failure or
 * cancelled), then finished() exactly once, and deletes itself with deleteLater. Nobody else
 * deletes it; whoever may outlive it holds it through a QPointer and must not touch it after
 * finished().
 */
class Transaction : public QObject
{
    Q_OBJECT

public:
    Transaction();

    // True when the repositories around this transaction may be restored as soon as it has
    // started, instead of when it has finished.
    virtual bool restoreReposAfterStart();

signals:
    void progress(int value);
    void failure(QString details);
    void success();
    void finished();
    void cancelled();

public slots:
    virtual void start() = 0;
    // Abandons the work and reports it as a failure, "Transaction cancelled".
    virtual void cancel();
};

} // namespace PackageUpdates
} // namespace Corvane
