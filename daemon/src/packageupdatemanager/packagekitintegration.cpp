#include "packagekitintegration.h"

#include "downloadtransaction.h"
#include "getsizetransaction.h"
#include "repositorygate.h"
#include "repositorytransaction.h"
#include "resolvetransaction.h"
#include "simulatetransaction.h"
#include "ssuintegration.h"
#include "util.h"

#include <PackageKit/Daemon>

#include <QDebug>
#include <QFile>

#include <memory>

namespace Corvane {
namespace PackageUpdates {

namespace {
constexpr int PackageIdFields = 4;
constexpr int PackageIdDataField = 3;
} // namespace

PackagekitIntegration::PackagekitIntegration(QObject *parent)
    : QObject(parent)
    , m_ssu(new SsuIntegration)
{
    restoreInterruptedChanges();
}

void PackagekitIntegration::restoreInterruptedChanges()
{
    // While a wrapper of this process holds or awaits the changes, the files are its own.
    if (!RepositoryGate::isIdle())
        return;

    if (!m_ssu->deviceModeFlag()) {
        QFile file(ssuVersionFilePath());
        if (file.exists() && file.open(QIODevice::ReadOnly)) {
            const QByteArray line = file.readLine();
            const int nul = line.indexOf('\0');
            m_ssu->setRelease(QString::fromLatin1(nul < 0 ? line : line.left(nul)));
            file.close();
            file.remove();
        }
    }

    QFile repos(disabledReposFilePath());
    if (!repos.open(QIODevice::ReadOnly))
        return;
    const QStringList ids =
        QString::fromUtf8(repos.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    repos.close();
    if (ids.isEmpty()) {
        repos.remove();
        return;
    }
    enableDisabledRepos(ids);
}

void PackagekitIntegration::enableDisabledRepos(const QStringList &repos)
{
    qDebug().noquote() << Q_FUNC_INFO << "enabling repositories left disabled:" << repos;
    // Owned by nobody: the repositories come back even if this runner is released first. It
    // holds the gate, so no wrapper lists the repositories half-way through.
    auto *recovery = new QObject;
    RepositoryGate::enter(recovery, [recovery, repos] {
        auto failed = std::make_shared<QStringList>();
        auto unanswered = std::make_shared<int>(repos.size());
        for (const QString &repo : repos) {
            PackageKit::Transaction *change = PackageKit::Daemon::repoEnable(repo, true);
            QObject::connect(change, &PackageKit::Transaction::errorCode, recovery,
                [repo](PackageKit::Transaction::Error, const QString &details) {
                    qWarning().noquote() << "Failed to enable repository" << repo << details;
                });
            QObject::connect(change, &PackageKit::Transaction::finished, recovery,
                [recovery, repo, failed, unanswered](PackageKit::Transaction::Exit status, uint) {
                    if (status != PackageKit::Transaction::ExitSuccess)
                        failed->append(repo);
                    if (--*unanswered > 0)
                        return;
                    // What failed is tried again at the next start.
                    if (failed->isEmpty()) {
                        QFile::remove(disabledReposFilePath());
                    } else {
                        writeFileAtomically(disabledReposFilePath(),
                            failed->join(QLatin1Char('\n')).toUtf8() + '\n');
                    }
                    RepositoryGate::leave(recovery);
                    recovery->deleteLater();
                });
        }
    });
}

Transaction *PackagekitIntegration::wrapInRepositoryTransaction(Transaction *transaction,
    const QString &version, bool restoreRelease, const QStringList &repositories)
{
    if (m_ssu->deviceModeFlag())
        return transaction;
    // The wrapper writes the release recovery file itself once it has its turn: written here,
    // it could record a release that a still restoring wrapper has yet to put back.
    return new RepositoryTransaction(transaction, version, restoreRelease, repositories, m_ssu);
}

QSharedPointer<PackagekitIntegration::StepOutcome>
PackagekitIntegration::startReportingWhenRestored(
    Transaction *step, Transaction *started, std::function<void()> onSuccess)
{
    auto outcome = QSharedPointer<StepOutcome>::create();
    const auto fail = [outcome](const QString &details) {
        if (!outcome->failed) {
            outcome->failed = true;
            outcome->details = details;
        }
    };
    connect(step, &Transaction::failure, this, fail);
    if (started != step)
        connect(started, &Transaction::failure, this, fail);
    connect(step, &Transaction::cancelled, this, [outcome] {
        outcome->cancelled = true;
    });
    connect(step, &Transaction::success, this, [this, outcome, step] {
        outcome->succeeded = true;
        // What is left to cancel is the report, which cancel() turns into a failure.
        if (m_currentTransaction == step)
            m_currentTransaction = nullptr;
    });
    connect(started, &Transaction::finished, this, [this, outcome, onSuccess] {
        if (outcome->reported)
            return;
        outcome->reported = true;
        if (outcome->failed)
            onError(outcome->details);
        else if (outcome->cancelled)
            emit downloadCancelled();
        else if (outcome->succeeded)
            onSuccess();
        else
            onError(QString());
    });
    started->start();
    return outcome;
}

void PackagekitIntegration::prepare(const QString &version)
{
    auto sizes = std::make_shared<QPair<qlonglong, qlonglong>>(-1, -1);
    auto *query = new GetSizeTransaction(m_ssu->configurationName());
    connect(query, &GetSizeTransaction::sizeAvailable, this,
        [sizes](qlonglong download, qlonglong install) {
            *sizes = {download, install};
        });
    Transaction *started = wrapInRepositoryTransaction(query, version, true, m_ssu->repos());
    // Not kept in m_stepOutcome: a prepare cannot be cancelled.
    startReportingWhenRestored(query, started, [this, sizes] {
        if (sizes->first < 0)
            onError(QString());
        else
            emit getSizeFinished(sizes->first, sizes->second);
    });
}

void PackagekitIntegration::download(const QString &version)
{
    m_packageNames.clear();
    auto *simulation = new SimulateTransaction(m_ssu->configurationName());
    m_currentTransaction = simulation;
    if (!m_ssu->deviceModeFlag()) {
        connect(simulation, &SimulateTransaction::packagesUpdated, this,
            &PackagekitIntegration::collectPackageNames);
    }
    connect(simulation, &SimulateTransaction::packagesRemoved, this,
        &PackagekitIntegration::collectPackageNames);
    Transaction *started = wrapInRepositoryTransaction(simulation, version, true, m_ssu->repos());
    // The resolve waits until the simulation's wrapper has put the repositories and the
    // release back: a PackageKit daemon need not run one transaction after the other, and the
    // download's wrapper must not record the target release as the one to go back to.
    m_stepOutcome = startReportingWhenRestored(simulation, started, [this, version] {
        resolvePackages(version);
    });
}

void PackagekitIntegration::collectPackageNames(const QStringList &packageIds)
{
    for (const QString &id : packageIds)
        m_packageNames.append(id.section(QLatin1Char(';'), 0, 0));
}

void PackagekitIntegration::resolvePackages(const QString &version)
{
    auto *resolve = new ResolveTransaction(m_packageNames);
    m_currentTransaction = resolve;
    m_stepOutcome.reset();
    connect(resolve, &ResolveTransaction::packagesResolved, this,
        &PackagekitIntegration::onPackagesResolved);
    connect(resolve, &Transaction::failure, this, &PackagekitIntegration::onError);
    connect(resolve, &Transaction::success, this, [this, version] {
        downloadPackages(version);
    });
    resolve->start();
}

void PackagekitIntegration::onPackagesResolved(QStringList packages)
{
    const QStringList repositories = m_ssu->repos();
    QStringList foreign;
    for (const QString &id : qAsConst(packages)) {
        const QStringList fields = id.split(QLatin1Char(';'), Qt::KeepEmptyParts);
        // An id without a data field cannot say where the package comes from; claiming it
        // will be removed would be a guess, so it is left out.
        if (fields.size() < PackageIdFields) {
            qWarning().noquote() << Q_FUNC_INFO << "Ignoring malformed package id" << id;
            continue;
        }
        if (!repositories.contains(fields.at(PackageIdDataField)))
            foreign.append(id);
    }
    emit packagesToRemove(foreign);
}

void PackagekitIntegration::downloadPackages(const QString &version)
{
    auto *download = new DownloadTransaction(m_ssu->configurationName());
    m_currentTransaction = download;
    connect(download, &Transaction::progress, this, &PackagekitIntegration::downloadProgress);
    Transaction *started = wrapInRepositoryTransaction(download, version, true, m_ssu->repos());
    m_stepOutcome = startReportingWhenRestored(download, started, [this] {
        emit downloadFinished();
    });
}

void PackagekitIntegration::onError(QString details)
{
    emit error(Enums::UpdateError::PackageError, details);
}

void PackagekitIntegration::cancel()
{
    if (!m_currentTransaction) {
        // The step has ended and its wrapper is restoring: the chain stops there, reported as
        // a cancelled simulation would be.
        if (m_stepOutcome && !m_stepOutcome->reported && !m_stepOutcome->failed &&
            !m_stepOutcome->cancelled) {
            m_stepOutcome->failed = true;
            m_stepOutcome->details = QStringLiteral("Transaction cancelled");
        }
        return;
    }
    Transaction *transaction = m_currentTransaction;
    m_currentTransaction = nullptr;
    transaction->cancel();
}

} // namespace PackageUpdates
} // namespace Corvane
