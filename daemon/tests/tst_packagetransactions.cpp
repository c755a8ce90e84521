// The package transactions, the runner and the manager, with the real PackageKit-Qt library
// talking to the device's PackageKit stand-in over the private system bus.
#include "enums.h"
#include "packageupdatemanager/downloadtransaction.h"
#include "packageupdatemanager/getsizetransaction.h"
#include "packageupdatemanager/packagekitintegration.h"
#include "packageupdatemanager/packageupdatemanager.h"
#include "packageupdatemanager/repositorytransaction.h"
#include "packageupdatemanager/resolvetransaction.h"
#include "packageupdatemanager/simulatetransaction.h"
#include "ssuintegration.h"
#include "util.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using namespace Corvane;
using namespace Corvane::PackageUpdates;

namespace {

const QString StateFile = QStringLiteral("/etc/packagekit-standin/state.json");
const QByteArray BaseState = R"({
  "release_file": "/etc/ssu/ssu.ini",
  "repositories": [{"id": "adaptation0"}, {"id": "store"}, {"id": "tessaro"},
                   {"id": "testing", "enabled": false}],
  "installed": ["tessaro-configuration-x1;4.5.0;noarch;tessaro",
                "kernel;4.5.0;armv7hl;adaptation0", "oldtool;1.0;armv7hl;tessaro",
                "game;2.0;armv7hl;store"],
  "releases": {"4.6.0": {
      "packages": {"tessaro": ["tessaro-configuration-x1;4.6.0;noarch"],
                   "adaptation0": ["kernel;4.6.0;armv7hl"]},
      "obsoletes": ["oldtool", "game"],
      "sizes": {"download": 250, "install": 500, "remove": 200}}},
  "durations": {"default": 0.02, "download": 0.6, "destroy": 0.1}
})";

QDBusMessage control(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.PackageKit"),
        QStringLiteral("/org/corvane/PackageKitControl"),
        QStringLiteral("org.corvane.PackageKitControl"), method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 20000);
}

// The base scenario with some top-level keys replaced.
void loadState(const QJsonObject &changes = {})
{
    QJsonObject state = QJsonDocument::fromJson(BaseState).object();
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state.insert(it.key(), it.value());
    const QDBusMessage reply =
        control(QStringLiteral("LoadState"), {QString::fromUtf8(QJsonDocument(state).toJson())});
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    control(QStringLiteral("ClearCalls"));
}

QJsonObject fault(const QString &match, const QJsonValue &times = QJsonValue::Null)
{
    return QJsonObject {{QStringLiteral("match"), match},
        {QStringLiteral("details"), QStringLiteral("Simulated failure")},
        {QStringLiteral("times"), times}};
}

QStringList packageKitCalls()
{
    return control(QStringLiteral("GetCalls")).arguments().value(0).toStringList();
}

QStringList ssuCalls()
{
    QFile log(QStringLiteral("/etc/ssu/calls.log"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void configureSsu(const QString &release, int deviceMode = 4)
{
    QFile config(QStringLiteral("/etc/ssu/ssu.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write(QStringLiteral("[General]\nrelease = %1\nmodel = x1\ndeviceMode = %2\n"
                                "[repositories]\nrepos = adaptation0, tessaro\n")
                     .arg(release)
                     .arg(deviceMode)
                     .toUtf8());
    config.close();
    QFile::remove(QStringLiteral("/etc/ssu/calls.log"));
}

// Every signal of a transaction, in the order it came, with its argument where it has one.
class Outcome : public QObject
{
public:
    explicit Outcome(Transaction *transaction)
        : m_transaction(transaction)
    {
        connect(transaction, &Transaction::success, this, [this] {
            events << "success";
        });
        connect(transaction, &Transaction::failure, this, [this](const QString &details) {
            events << "failure:" + details;
        });
        connect(transaction, &Transaction::cancelled, this, [this] {
            events << "cancelled";
        });
        connect(transaction, &Transaction::finished, this, [this] {
            events << "finished";
        });
        connect(transaction, &Transaction::progress, this, [this](int value) {
            progress << value;
        });
    }

    [[nodiscard]] bool waitForEnd(int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!events.contains(QStringLiteral("finished")) && !deadline.hasExpired())
            QTest::qWait(10);
        return events.contains(QStringLiteral("finished"));
    }
    // The transaction deleted itself once control went back to the event loop.
    bool deleted() const { return m_transaction.isNull(); }

    QStringList events;
    QList<int> progress;

private:
    QPointer<Transaction> m_transaction;
};

} // namespace

class TestPackageTransactions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QDir().mkpath(QStringLiteral("/etc/packagekit-standin"));
        QFile state(StateFile);
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(BaseState);
    }

    void init()
    {
        configureSsu(QStringLiteral("4.6.0"));
        loadState();
        QFile::remove(ssuVersionFilePath());
    }

    void sizeQuery_data()
    {
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QList<qlonglong>>("sizes");

        QTest::newRow("sizes") << QJsonObject() << QStringList {"success", "finished"}
                               << QList<qlonglong> {250, 300};
        QTest::newRow("failure") << QJsonObject {{"faults",
                                        QJsonArray {fault("^UpgradeSystem 6 ext::query-sizes:")}}}
                                 << QStringList {"failure:Simulated failure", "finished"}
                                 << QList<qlonglong>();
    }

    void sizeQuery()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(QStringList, events);
        QFETCH(QList<qlonglong>, sizes);

        loadState(changes);
        auto *transaction = new GetSizeTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(transaction);
        QList<qlonglong> reported;
        connect(transaction, &GetSizeTransaction::sizeAvailable, this,
            [&reported, &outcome](qlonglong download, qlonglong install) {
                reported << download << install;
                outcome.events << QStringLiteral("sizes");
            });
        transaction->start();
        QVERIFY(outcome.waitForEnd());
        if (!sizes.isEmpty())
            events.prepend(QStringLiteral("sizes"));
        QCOMPARE(outcome.events, events);
        QCOMPARE(reported, sizes);
        QTRY_VERIFY(outcome.deleted());
        QCOMPARE(packageKitCalls(),
            QStringList {"UpgradeSystem 6 ext::query-sizes:tessaro-configuration-x1 3"});
    }

    void simulationReportsRemovalsFirst()
    {
        auto *transaction = new SimulateTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(transaction);
        QStringList order;
        connect(transaction, &SimulateTransaction::packagesRemoved, this,
            [&order](const QStringList &ids) {
                order << "removed:" + ids.join(',');
            });
        connect(transaction, &SimulateTransaction::packagesUpdated, this,
            [&order](const QStringList &ids) {
                order << "updated:" + ids.join(',');
            });
        transaction->start();
        QVERIFY(outcome.waitForEnd());
        QCOMPARE(order.size(), 2);
        QVERIFY2(order.at(0).startsWith("removed:") &&
                order.at(0).contains("oldtool;1.0;armv7hl;") &&
                order.at(0).contains("game;2.0;armv7hl;"),
            qPrintable(order.at(0)));
        QVERIFY2(order.at(1).contains("tessaro-configuration-x1;4.6.0;noarch") &&
                order.at(1).contains("kernel;4.6.0;armv7hl"),
            qPrintable(order.at(1)));
        QCOMPARE(outcome.events, (QStringList {"success", "finished"}));
    }

    void resolve_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<QString>("resolveLine");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("resolved");

        QTest::newRow("names after the repository entry")
            << QStringList {"oldtool", "game"} << QJsonObject()
            << "Resolve 2097152 ext::data:repo,oldtool,game" << QStringList {"success", "finished"}
            << 2;
        QTest::newRow("no names") << QStringList() << QJsonObject()
                                  << "Resolve 2097152 ext::data:repo"
                                  << QStringList {"success", "finished"} << 0;
        QTest::newRow("failed refresh is no failure")
            << QStringList {"game"} << QJsonObject {{"faults", QJsonArray {fault("^RefreshCache")}}}
            << "Resolve 2097152 ext::data:repo,game" << QStringList {"success", "finished"} << 1;
        QTest::newRow("failed resolve still reports")
            << QStringList {"game"} << QJsonObject {{"faults", QJsonArray {fault("^Resolve")}}}
            << "Resolve 2097152 ext::data:repo,game"
            << QStringList {"failure:Simulated failure", "finished"} << 0;
    }

    void resolve()
    {
        QFETCH(QStringList, names);
        QFETCH(QJsonObject, changes);
        QFETCH(QString, resolveLine);
        QFETCH(QStringList, events);
        QFETCH(int, resolved);

        loadState(changes);
        auto *transaction = new ResolveTransaction(names);
        Outcome outcome(transaction);
        QList<QStringList> reports;
        connect(transaction, &ResolveTransaction::packagesResolved, this,
            [&reports](const QStringList &ids) {
                reports << ids;
            });
        transaction->start();
        QVERIFY(outcome.waitForEnd());
        QCOMPARE(outcome.events, events);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().size(), resolved);
        for (const QString &id : reports.first())
            QCOMPARE(id.split(';').size(), 4);
        QCOMPARE(packageKitCalls(), (QStringList {"RefreshCache true", resolveLine}));
    }

    void cancelEndsOnceAsFailure()
    {
        loadState({{"durations", QJsonObject {{"UpgradeSystem", 1.0}}}});
        auto *transaction = new GetSizeTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(transaction);
        transaction->start();
        QTest::qWait(100);
        transaction->cancel();
        QCOMPARE(outcome.events, (QStringList {"failure:Transaction cancelled", "finished"}));
        QTRY_VERIFY(outcome.deleted());
        // PackageKit's own end comes later and changes nothing.
        QTest::qWait(1500);
        QCOMPARE(outcome.events.size(), 2);
    }

    void repositoryIsolation_data()
    {
        QTest::addColumn<bool>("wrapSizeQuery");
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("packageKit");

        const QString sizeQuery = "UpgradeSystem 6 ext::query-sizes:tessaro-configuration-x1 3";
        QTest::newRow("size query")
            << true << QJsonObject() << QStringList {"success", "success", "finished"}
            << QStringList {
                   "GetRepoList 2", "RepoEnable store false", sizeQuery, "RepoEnable store true"};
        QTest::newRow("failing size query still restores")
            << true << QJsonObject {{"faults", QJsonArray {fault("^UpgradeSystem")}}}
            << QStringList {"success", "finished"}
            << QStringList {
                   "GetRepoList 2", "RepoEnable store false", sizeQuery, "RepoEnable store true"};
        QTest::newRow("nothing wrapped")
            << false << QJsonObject() << QStringList {"success", "finished"}
            << QStringList {"GetRepoList 2", "RepoEnable store false", "RepoEnable store true"};
        QTest::newRow("isolation fails")
            << true << QJsonObject {{"faults", QJsonArray {fault("^RepoEnable store false")}}}
            << QStringList {"failure:store", "finished"}
            << QStringList {"GetRepoList 2", "RepoEnable store false"};
    }

    void repositoryIsolation()
    {
        QFETCH(bool, wrapSizeQuery);
        QFETCH(QJsonObject, changes);
        QFETCH(QStringList, events);
        QFETCH(QStringList, packageKit);

        configureSsu(QStringLiteral("4.5.0"));
        loadState(changes);
        SsuIntegration ssu;
        Transaction *wrapped = nullptr;
        QStringList wrappedEvents;
        if (wrapSizeQuery) {
            wrapped = new GetSizeTransaction(ssu.configurationName());
            connect(wrapped, &Transaction::failure, this, [&wrappedEvents](const QString &d) {
                wrappedEvents << d;
            });
        }
        // "extra" is required but unknown to PackageKit: SSU is asked to add it.
        auto *wrapper = new RepositoryTransaction(wrapped, QStringLiteral("4.6.0"), true,
            {QStringLiteral("adaptation0"), QStringLiteral("extra"), QStringLiteral("tessaro")},
            &ssu);
        Outcome outcome(wrapper);
        wrapper->start();
        QVERIFY(outcome.waitForEnd());
        QTest::qWait(300);
        QCOMPARE(outcome.events, events);
        QTRY_VERIFY(outcome.deleted());
        QCOMPARE(packageKitCalls().mid(0, packageKit.size()), packageKit);
        // The target release was switched to for the work, and back afterwards.
        QCOMPARE(ssuCalls(),
            (QStringList {"setRelease 4.6.0 false", "modifyRepo 1 extra", "modifyRepo 3 extra",
                "updateRepos", "setRelease 4.5.0 false"}));
        QCOMPARE(ssu.release(), QStringLiteral("4.5.0"));
    }

    void downloadRestoresRepositoriesRightAfterStart()
    {
        configureSsu(QStringLiteral("4.5.0"));
        SsuIntegration ssu;
        auto *download = new DownloadTransaction(ssu.configurationName());
        Outcome downloadOutcome(download);
        auto *wrapper =
            new RepositoryTransaction(download, QStringLiteral("4.6.0"), true, ssu.repos(), &ssu);
        Outcome outcome(wrapper);
        QStringList callsWhenDone;
        connect(download, &Transaction::success, this, [&callsWhenDone] {
            callsWhenDone = packageKitCalls();
        });
        wrapper->start();
        QVERIFY(outcome.waitForEnd());
        // The restoration was asked for while the download ran, before it succeeded.
        QCOMPARE(callsWhenDone,
            (QStringList {"GetRepoList 2", "RepoEnable store false",
                "UpgradeSystem 2 tessaro-configuration-x1 1", "RepoEnable store true"}));
        QCOMPARE(outcome.events, (QStringList {"success", "finished"}));
        QVERIFY(!downloadOutcome.progress.isEmpty());
        for (int value : qAsConst(downloadOutcome.progress))
            QVERIFY2(value >= 0 && value <= 99, qPrintable(QString::number(value)));
        QTRY_COMPARE(ssu.release(), QStringLiteral("4.5.0"));
    }

    void downloadRetries_data()
    {
        QTest::addColumn<QJsonValue>("failures");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("attempts");
        QTest::newRow("three failures, then success")
            << QJsonValue(3) << QStringList {"success", "finished"} << 4;
        QTest::newRow("four failures")
            << QJsonValue(4) << QStringList {"failure:Simulated failure", "finished"} << 4;
    }

    void downloadRetries()
    {
        QFETCH(QJsonValue, failures);
        QFETCH(QStringList, events);
        QFETCH(int, attempts);

        loadState({{"faults", QJsonArray {fault("^UpgradeSystem 2 ", failures)}}});
        auto *download = new DownloadTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(download);
        download->start();
        QVERIFY(outcome.waitForEnd(30000));
        QCOMPARE(outcome.events, events);
        QCOMPARE(packageKitCalls().filter(QStringLiteral("UpgradeSystem 2 ")).size(), attempts);
    }

    void downloadCancel_data()
    {
        QTest::addColumn<int>("afterMs");
        QTest::newRow("running") << 300;
        QTest::newRow("before it starts") << -1;
    }

    void downloadCancel()
    {
        QFETCH(int, afterMs);
        loadState({{"durations", QJsonObject {{"download", 5.0}}}});
        auto *download = new DownloadTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(download);
        if (afterMs >= 0) {
            download->start();
            QTest::qWait(afterMs);
        }
        download->cancel();
        QVERIFY(outcome.waitForEnd());
        QCOMPARE(outcome.events, (QStringList {"cancelled", "finished"}));
        QTRY_VERIFY(outcome.deleted());
    }

    // Waits for the package manager's 30 idle seconds; run with CORVANE_SLOW_TESTS set.
    void downloadYieldsToOtherWork()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SLOW_TESTS"))
            QSKIP("waits 30 seconds; set CORVANE_SLOW_TESTS");
        loadState({{"durations", QJsonObject {{"download", 3.0}}},
            {"foreign",
                QJsonArray {QJsonObject {{"role", "install-packages"}, {"after", 0.5},
                    {"duration", 1.0}, {"parallel", true}}}}});
        auto *download = new DownloadTransaction(QStringLiteral("tessaro-configuration-x1"));
        Outcome outcome(download);
        QElapsedTimer clock;
        clock.start();
        download->start();
        QTRY_VERIFY_WITH_TIMEOUT(
            packageKitCalls().contains(QStringLiteral("Cancel UpgradeSystem")), 10000);
        // Repository changes never make it yield: they are its own restoration.
        control(
            QStringLiteral("AddForeignTransaction"), {QStringLiteral("repo-enable"), 0.2, true});
        QVERIFY(outcome.waitForEnd(60000));
        QCOMPARE(outcome.events, (QStringList {"success", "finished"}));
        QCOMPARE(packageKitCalls().filter(QStringLiteral("UpgradeSystem 2 ")).size(), 2);
        QVERIFY2(clock.elapsed() >= 30000, qPrintable(QString::number(clock.elapsed())));
    }

    void runnerPutsBackAnInterruptedRelease_data()
    {
        QTest::addColumn<int>("deviceMode");
        QTest::addColumn<QString>("release");
        QTest::addColumn<bool>("fileKept");
        QTest::newRow("release mode") << 4 << "4.4.0" << false;
        QTest::newRow("R&D mode leaves it alone") << 6 << "4.6.0" << true;
    }

    void runnerPutsBackAnInterruptedRelease()
    {
        QFETCH(int, deviceMode);
        QFETCH(QString, release);
        QFETCH(bool, fileKept);

        configureSsu(QStringLiteral("4.6.0"), deviceMode);
        QFile file(ssuVersionFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("4.4.0\0garbage", 13));
        file.close();
        PackagekitIntegration runner;
        QCOMPARE(SsuIntegration().release(), release);
        QCOMPARE(QFile::exists(ssuVersionFilePath()), fileKept);
    }

    void managerDownload()
    {
        configureSsu(QStringLiteral("4.5.0"));
        PackageUpdateManager manager;
        QSignalSpy prepared(&manager, &PackageUpdateManager::prepareFinished);
        manager.prepare(QStringLiteral("4.6.0"));
        // The replaced release is remembered while the wrapped work runs.
        QTRY_VERIFY(QFile::exists(ssuVersionFilePath()));
        QCOMPARE(SsuIntegration().release(), QStringLiteral("4.6.0"));
        QVERIFY(prepared.wait(20000));
        QCOMPARE(prepared.first(), (QVariantList {250, 300}));
        // By the time the sizes are reported the device is back on its release: whoever goes
        // on at once must not find the target release switched in.
        QCOMPARE(SsuIntegration().release(), QStringLiteral("4.5.0"));
        QVERIFY(!QFile::exists(ssuVersionFilePath()));

        QSignalSpy progress(&manager, &PackageUpdateManager::downloadProgress);
        QSignalSpy removals(&manager, &PackageUpdateManager::packagesToRemove);
        QSignalSpy finished(&manager, &PackageUpdateManager::downloadFinished);
        QSignalSpy errors(&manager, &PackageUpdateManager::error);
        manager.download(QStringLiteral("4.6.0"));
        QVERIFY(finished.wait(20000));
        QCOMPARE(errors.count(), 0);
        QVERIFY(!progress.isEmpty());
        for (const QVariantList &report : qAsConst(progress)) {
            // 250 bytes to download: the division comes first, so each per cent is 2 bytes.
            QCOMPARE(report.at(1).toLongLong(), 2 * report.at(0).toLongLong());
            QVERIFY(report.at(0).toInt() < 100);
        }
        // Only the store's game comes from a repository that SSU does not list.
        QCOMPARE(removals.count(), 1);
        QCOMPARE(removals.first().first().toStringList(), QStringList {"game;2.0;armv7hl;store"});
        QTRY_COMPARE(SsuIntegration().release(), QStringLiteral("4.5.0"));

        QSignalSpy vendorErrors(&manager, &PackageUpdateManager::error);
        manager.downloadVendorData(QStringLiteral("https://example.invalid/v"));
        QCOMPARE(vendorErrors.count(), 1);
        QCOMPARE(vendorErrors.first().at(1).toString(),
            QStringLiteral("Package updates do not support vendor data installation."));
    }
};

QTEST_GUILESS_MAIN(TestPackageTransactions)
#include "tst_packagetransactions.moc"
