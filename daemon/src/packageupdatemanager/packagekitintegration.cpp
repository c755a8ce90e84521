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

void PackagekitIntegration::prepare(const QString &version)
{
    // The outcome is held back until the whole chain has finished: the wrapper puts the
    // repositories and the SSU release back only after the size query itself has reported,
    // and a caller that goes on at once must find the device as it was.
    struct Outcome
    {
        bool sized = false;
        qlonglong download = 0;
        qlonglong install = 0;
        bool failed = false;
        QString details;
        bool reported = false;
    };
    auto outcome = std::make_shared<Outcome>();
    auto fail = [outcome](const QString &details) {
        outcome->failed = true;
        outcome->details = details;
    };

    auto *sizes = new GetSizeTransaction(m_ssu->configurationName());
    connect(sizes, &GetSizeTransaction::sizeAvailable, this,
        [outcome](qlonglong download, qlonglong install) {
            outcome->sized = true;
            outcome->download = download;
            outcome->install = install;
        });
    connect(sizes, &Transaction::failure, this, fail);
    Transaction *started = wrapInRepositoryTransaction(sizes, version, true, m_ssu->repos());
    if (started != sizes)
        connect(started, &Transaction::failure, this, fail);
    connect(started, &Transaction::finished, this, [this, outcome] {
        if (outcome->reported)
            return;
        outcome->reported = true;
        if (outcome->failed || !outcome->sized)
            onError(outcome->details);
        else
            emit getSizeFinished(outcome->download, outcome->install);
    });
    started->start();
}

void PackagekitIntegration::download(const QString &version)
{
    const quint64 job = ++m_job;
    m_resolvePending = false;
    m_packageNames.clear();
    auto *simulation = new SimulateTransaction(m_ssu->configurationName());
    m_currentTransaction = simulation;
    if (!m_ssu->deviceModeFlag()) {
        connect(simulation, &SimulateTransaction::packagesUpdated, this,
            &PackagekitIntegration::collectPackageNames);
    }
    connect(simulation, &SimulateTransaction::packagesRemoved, this,
        &PackagekitIntegration::collectPackageNames);
    connect(simulation, &Transaction::failure, this, &PackagekitIntegration::onError);
    connect(simulation, &Transaction::success, this, [this, job] {
        if (job != m_job)
            return;
        m_currentTransaction = nullptr;
        m_resolvePending = true;
    });
    Transaction *started = wrapInRepositoryTransaction(simulation, version, true, m_ssu->repos());
    if (started != simulation)
        connect(started, &Transaction::failure, this, &PackagekitIntegration::onError);
    // The resolve must see the device's own repositories and release, so it waits until the
    // simulation's wrapper has put them back: a PackageKit daemon need not run one
    // transaction after the other, and the download's wrapper must not record the target
    // release as the one to go back to.
    connect(started, &Transaction::finished, this, [this, job, version] {
        if (job != m_job || !m_resolvePending)
            return;
        m_resolvePending = false;
        resolvePackages(version);
    });
    started->start();
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
    connect(download, &Transaction::failure, this, &PackagekitIntegration::onError);
    connect(download, &Transaction::cancelled, this, &PackagekitIntegration::downloadCancelled);
    Transaction *started = wrapInRepositoryTransaction(download, version, true, m_ssu->repos());
    if (started != download)
        connect(started, &Transaction::failure, this, &PackagekitIntegration::onError);
    connect(started, &Transaction::success, this, &PackagekitIntegration::downloadFinished);
    started->start();
}

void PackagekitIntegration::onError(QString details)
{
    emit error(Enums::UpdateError::PackageError, details);
}

void PackagekitIntegration::cancel()
{
    if (m_resolvePending) {
        // Between the simulation and the resolve: the chain stops as a cancelled simulation
        // would.
        m_resolvePending = false;
        onError(QStringLiteral("Transaction cancelled"));
        return;
    }
    if (!m_currentTransaction)
        return;
    Transaction *transaction = m_currentTransaction;
    m_currentTransaction = nullptr;
    transaction->cancel();
}

} // namespace PackageUpdates
} // namespace Corvane
