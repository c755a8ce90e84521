#include "packagekitintegration.h"

#include "downloadtransaction.h"
#include "getsizetransaction.h"
#include "repositorytransaction.h"
#include "resolvetransaction.h"
#include "simulatetransaction.h"
#include "ssuintegration.h"
#include "util.h"

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
    , m_ssu(new SsuIntegration(this))
{
    restoreInterruptedRelease();
}

void PackagekitIntegration::restoreInterruptedRelease()
{
    if (m_ssu->deviceModeFlag())
        return;
    QFile file(ssuVersionFilePath());
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray line = file.readLine();
    const int nul = line.indexOf('\0');
    m_ssu->setRelease(QString::fromLatin1(nul < 0 ? line : line.left(nul)));
    file.close();
    file.remove();
}

Transaction *PackagekitIntegration::wrapInRepositoryTransaction(Transaction *transaction,
    const QString &version, bool restoreRelease, const QStringList &repositories)
{
    if (m_ssu->deviceModeFlag())
        return transaction;

    QFile file(ssuVersionFilePath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(m_ssu->release().toUtf8());
        file.close();
    }
    auto *wrapper =
        new RepositoryTransaction(transaction, version, restoreRelease, repositories, m_ssu);
    connect(wrapper, &Transaction::finished, this, [] {
        QFile::remove(ssuVersionFilePath());
    });
    return wrapper;
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

    auto *sizes = new GetSizeTransaction(m_ssu->configurationName());
    connect(sizes, &GetSizeTransaction::sizeAvailable, this,
        [outcome](qlonglong download, qlonglong install) {
            outcome->sized = true;
            outcome->download = download;
            outcome->install = install;
        });
    connect(sizes, &Transaction::failure, this, [outcome](const QString &details) {
        outcome->failed = true;
        outcome->details = details;
    });
    Transaction *started = wrapInRepositoryTransaction(sizes, version, true, m_ssu->repos());
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
    connect(simulation, &Transaction::success, this, [this, version] {
        resolvePackages(version);
    });
    wrapInRepositoryTransaction(simulation, version, true, m_ssu->repos())->start();
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
    connect(started, &Transaction::success, this, &PackagekitIntegration::downloadFinished);
    started->start();
}

void PackagekitIntegration::onError(QString details)
{
    emit error(Enums::UpdateError::PackageError, details);
}

void PackagekitIntegration::cancel()
{
    if (!m_currentTransaction)
        return;
    Transaction *transaction = m_currentTransaction;
    m_currentTransaction = nullptr;
    transaction->cancel();
}

} // namespace PackageUpdates
} // namespace Corvane
