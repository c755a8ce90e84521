#include "downloadtransaction.h"

#include <PackageKit/Daemon>

#include <QDBusObjectPath>
#include <QDebug>
#include <QSet>

namespace Corvane {
namespace PackageUpdates {

namespace {
constexpr int IdleIntervalMs = 30000;
constexpr int MaximumRetries = 3;
} // namespace

DownloadTransaction::DownloadTransaction(const QString &distroId)
    : m_distroId(distroId)
{
}

bool DownloadTransaction::restoreReposAfterStart()
{
    return true;
}

void DownloadTransaction::start()
{
    m_idleTimer.setInterval(IdleIntervalMs);
    m_idleTimer.setSingleShot(true);
    // A coarse timer may fire up to a second early, before PackageKit was idle for 30 s.
    m_idleTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_idleTimer, &QTimer::timeout, this, &DownloadTransaction::onPackageManagerIdle);
    connect(PackageKit::Daemon::global(), &PackageKit::Daemon::transactionListChanged, this,
        &DownloadTransaction::onTransactionListChanged);
    startUpgrade();
}

void DownloadTransaction::startUpgrade()
{
    PackageKit::Transaction *transaction =
        PackageKit::Daemon::upgradeSystem(m_distroId, PackageKit::Transaction::UpgradeKindMinimal,
            PackageKit::Transaction::TransactionFlagOnlyTrusted);
    connect(
        transaction, &PackageKit::Transaction::finished, this, &DownloadTransaction::onFinished);
    connect(transaction, &PackageKit::Transaction::errorCode, this, &DownloadTransaction::onError);
    connect(transaction, &PackageKit::Transaction::percentageChanged, this,
        &DownloadTransaction::onProgress);
    m_upgradeTransaction = transaction;
}

void DownloadTransaction::onProgress()
{
    if (!m_upgradeTransaction) {
        qWarning() << Q_FUNC_INFO << "No current transaction for progress update";
        return;
    }
    const uint percentage = m_upgradeTransaction->percentage();
    // 100 and PackageKit's "unknown" (101) are not progress; nor is any other phase.
    if (m_upgradeTransaction->status() == PackageKit::Transaction::StatusDownload &&
        percentage <= 99) {
        emit progress(static_cast<int>(percentage));
    }
}

void DownloadTransaction::onTransactionListChanged(QStringList tids)
{
    if (tids.isEmpty()) {
        m_idleTimer.start();
        return;
    }
    m_idleTimer.stop();
    if (tids.size() == 1)
        return;

    // PackageKit repeats the list when nothing in it changed, and runs transactions side by
    // side, so the newest entry may be our own repository restoration while another client's
    // transaction sits before it: each transaction is judged once, whatever its place.
    QSet<QString> listed;
    for (const QString &tid : qAsConst(tids)) {
        listed.insert(tid);
        if (m_judged.contains(tid) ||
            (m_upgradeTransaction && m_upgradeTransaction->tid() == QDBusObjectPath(tid))) {
            continue;
        }
        m_judged.insert(tid);
        auto *observed = new PackageKit::Transaction(QDBusObjectPath(tid));
        if (observed->role() == PackageKit::Transaction::RoleUnknown) {
            connect(observed, &PackageKit::Transaction::roleChanged, this, [this, observed] {
                judge(observed);
            });
            continue;
        }
        judge(observed);
    }
    m_judged.intersect(listed);
}

void DownloadTransaction::judge(PackageKit::Transaction *observed)
{
    const PackageKit::Transaction::Role role = observed->role();
    // Our own upgrade, and the repository restoration right after its start, are no reason to
    // step aside.
    if (role != PackageKit::Transaction::RoleRepoEnable &&
        role != PackageKit::Transaction::RoleUpgradeSystem && m_upgradeTransaction &&
        !m_interrupted) {
        m_interrupted = true;
        m_upgradeTransaction->cancel();
    }
    observed->disconnect(this);
    observed->deleteLater();
}

void DownloadTransaction::onPackageManagerIdle()
{
    if (m_interrupted && !m_upgradeTransaction) {
        m_interrupted = false;
        startUpgrade();
    }
}

void DownloadTransaction::onFinished(PackageKit::Transaction::Exit status, uint)
{
    m_upgradeTransaction = nullptr;
    switch (status) {
    case PackageKit::Transaction::ExitSuccess:
        emit success();
        end();
        return;
    case PackageKit::Transaction::ExitCancelled:
        if (m_interrupted)
            return; // waits for the package manager to become idle
        emit cancelled();
        end();
        return;
    default:
        if (m_retryCount >= MaximumRetries) {
            emit failure(m_errorDetails);
            end();
            return;
        }
        ++m_retryCount;
        m_errorDetails.clear();
        startUpgrade();
        return;
    }
}

void DownloadTransaction::end()
{
    emit finished();
    deleteLater();
    m_errorDetails.clear();
    m_idleTimer.stop();
    disconnect(PackageKit::Daemon::global(), nullptr, this, nullptr);
}

void DownloadTransaction::onError(PackageKit::Transaction::Error, QString details)
{
    m_errorDetails = details;
}

void DownloadTransaction::cancel()
{
    if (m_upgradeTransaction) {
        m_interrupted = false;
        m_upgradeTransaction->cancel();
        return;
    }
    emit cancelled();
    end();
}

} // namespace PackageUpdates
} // namespace Corvane
