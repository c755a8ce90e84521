// The package transactions and the manager, with the real PackageKit-Qt library talking to the
// device's PackageKit stand-in over the private system bus.
#include "devicecontrolmock.h"
#include "enums.h"
#include "fileio.h"
#include "packagekitstandin.h"
#include "packageupdatemanager/downloadtransaction.h"
#include "packageupdatemanager/getsizetransaction.h"
#include "packageupdatemanager/packageupdatemanager.h"
#include "packageupdatemanager/repositorytransaction.h"
#include "packageupdatemanager/resolvetransaction.h"
#include "polkitmock.h"
#include "signalrecorder.h"
#include "ssuintegration.h"
#include "ssusettings.h"
#include "util.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace Corvane;
using namespace Corvane::PackageUpdates;

namespace {

const QString SizeQuery =
    QStringLiteral("UpgradeSystem 6 ext::query-sizes:tessaro-configuration-x1 3");
const QString Download = QStringLiteral("UpgradeSystem 2 tessaro-configuration-x1 1");
const QString TriggerLink = QStringLiteral("/system-update");

const QByteArray BaseState = R"({
  "release_file": "/etc/ssu/ssu.ini",
  "repositories": [{"id": "adaptation0"}, {"id": "store"}, {"id": "tessaro"}],
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

// The base scenario with some top-level keys replaced, on an SSU release.
void loadState(const QString &release, const QJsonObject &changes = {})
{
    SsuSettings ssu;
    ssu.release = release;
    ssu.write();
    QFile::remove(ssuVersionFilePath());
    QFile::remove(disabledReposFilePath());
    QJsonObject state = QJsonDocument::fromJson(BaseState).object();
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state.insert(it.key(), it.value());
    PackageKitStandIn::loadState(state);
}

// Calls matching the pattern fail with "Simulated failure": each time, or the first `times`.
QJsonObject faults(const QString &match, const QJsonValue &times = QJsonValue::Null)
{
    return {{"faults",
        QJsonArray {
            QJsonObject {{"match", match}, {"details", "Simulated failure"}, {"times", times}}}}};
}

// A transaction as a data row names it: "sizes", "download" or "resolve NAME...".
Transaction *createTransaction(const QString &row)
{
    const QStringList words = row.split(QLatin1Char(' '));
    if (words.first() == QLatin1String("sizes"))
        return new GetSizeTransaction(QStringLiteral("tessaro-configuration-x1"));
    if (words.first() == QLatin1String("download"))
        return new DownloadTransaction(QStringLiteral("tessaro-configuration-x1"));
    return new ResolveTransaction(words.mid(1));
}

// The signal that ended the manager's job, once one came: any but the list of packages to
// remove, which comes on the way. Empty when none came in time.
QString jobEnd(const SignalRecorder &seen, int timeoutMs)
{
    const QRegularExpression end(QStringLiteral("^(?!packagesToRemove)"));
    for (QDeadlineTimer deadline(timeoutMs); seen.events.filter(end).isEmpty();) {
        if (deadline.hasExpired())
            return QString();
        QTest::qWait(10);
    }
    return seen.events.filter(end).first();
}

// The device follows its own release from the repositories it had, and the files that would
// undo a crash are gone.
void verifyDeviceRestored(const QJsonArray &repositories)
{
    QTRY_VERIFY(!QFile::exists(ssuVersionFilePath()));
    QTRY_VERIFY(!QFile::exists(disabledReposFilePath()));
    QCOMPARE(PackageKitStandIn::repositories(), repositories);
    QCOMPARE(SsuIntegration().release(), QStringLiteral("4.5.0"));
}

} // namespace

class TestPackageTransactions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Enums::registerTypes(); }

    void transactions_data()
    {
        QTest::addColumn<QString>("transaction");
        QTest::addColumn<bool>("isolated");
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<QString>("cancel"); // "soon" after the start, or at the first "progress"
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("calls");

        const QStringList ok {"success", "finished"};
        const QStringList failed {"failure Simulated failure", "finished"};
        const QJsonObject slow {
            {"durations", QJsonObject {{"UpgradeSystem", 1.0}, {"download", 5}}}};
        const QStringList isolation {"GetRepoList 2", "RepoEnable store false"};
        const QStringList fourDownloads {Download, Download, Download, Download};
        // The base transaction ends a cancel as a failure, whatever PackageKit says later.
        QTest::newRow("size query cancelled")
            << "sizes" << false << slow << "soon"
            << QStringList {"failure Transaction cancelled", "finished"} << QStringList {SizeQuery};
        QTest::newRow("resolve after a failed refresh")
            << "resolve oldtool game" << false << faults("^RefreshCache") << "" << ok
            << QStringList {"RefreshCache true", "Resolve 2097152 ext::data:repo,oldtool,game"};
        QTest::newRow("three download failures, then success")
            << "download" << false << faults("^UpgradeSystem", 3) << "" << ok << fourDownloads;
        QTest::newRow("four download failures")
            << "download" << false << faults("^UpgradeSystem", 4) << "" << failed << fourDownloads;
        QTest::newRow("download cancelled")
            << "download" << false << slow << "progress" << QStringList {"cancelled", "finished"}
            << QStringList {Download, "Cancel UpgradeSystem"};
        // "|" marks the end of the wrapped transaction. A download that stepped aside for the
        // restoration would take 30 seconds and show a cancel.
        QTest::newRow("isolated size query")
            << "sizes" << true << QJsonObject() << ""
            << QStringList {"success", "success", "finished"}
            << isolation + QStringList {SizeQuery, "|", "RepoEnable store true"};
        QTest::newRow("isolated size query fails, repositories restored")
            << "sizes" << true << faults("^UpgradeSystem") << "" << ok
            << isolation + QStringList {SizeQuery, "|", "RepoEnable store true"};
        QTest::newRow("isolated download restores once started")
            << "download" << true << QJsonObject() << "" << ok
            << isolation + QStringList {Download, "RepoEnable store true", "|"};
        // The work never runs, so it says nothing; the wrapper gives PackageKit's reason.
        QTest::newRow("isolation fails")
            << "sizes" << true << faults("^RepoEnable store false") << ""
            << QStringList {"failure Failed to disable repository store: Simulated failure",
                   "finished"}
            << isolation;
    }

    void transactions()
    {
        QFETCH(QString, transaction);
        QFETCH(bool, isolated);
        QFETCH(QJsonObject, changes);
        QFETCH(QString, cancel);
        QFETCH(QStringList, events);
        QFETCH(QStringList, calls);

        // Isolation switches to the target release itself.
        loadState(isolated ? QStringLiteral("4.5.0") : QStringLiteral("4.6.0"), changes);
        Transaction *work = createTransaction(transaction);
        // Connected before any wrapper, so this sees only the calls made up to the end.
        int callsAtEnd = -1;
        connect(work, &Transaction::finished, this, [&callsAtEnd] {
            callsAtEnd = PackageKitStandIn::calls().size();
        });
        // "extra" is required but unknown to PackageKit: SSU is asked to add it.
        Transaction *started = !isolated
            ? work
            : new RepositoryTransaction(work, "4.6.0", true, {"adaptation0", "extra", "tessaro"},
                  QSharedPointer<SsuIntegration>::create());
        SignalRecorder outcome(started, Transaction::staticMetaObject);
        started->start();
        if (cancel == QLatin1String("soon"))
            QTest::qWait(100);
        else if (cancel == QLatin1String("progress"))
            QTRY_VERIFY_WITH_TIMEOUT(!outcome.progress.isEmpty(), 20000);
        if (!cancel.isEmpty())
            started->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(outcome.objectDeleted(), 30000);
        QCOMPARE(outcome.events, events);
        QStringList seen = PackageKitStandIn::calls();
        if (isolated && callsAtEnd >= 0)
            seen.insert(callsAtEnd, QStringLiteral("|"));
        QCOMPARE(seen.mid(0, calls.size()), calls);
        if (isolated) {
            // The target release was switched to for the work, and back afterwards.
            QTRY_COMPARE(readFile(QStringLiteral("/etc/ssu/calls.log")),
                QByteArray("setRelease 4.6.0 false\nmodifyRepo 1 extra\nmodifyRepo 3 extra\n"
                           "updateRepos\nsetRelease 4.5.0 false\n"));
        }
    }

    // Waits for the package manager's 30 idle seconds; run with CORVANE_SLOW_TESTS set.
    void downloadYieldsToOtherWork()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SLOW_TESTS"))
            QSKIP("waits 30 seconds; set CORVANE_SLOW_TESTS");
        loadState(QStringLiteral("4.6.0"),
            {{"durations", QJsonObject {{"download", 3.0}}},
                {"foreign",
                    QJsonArray {QJsonObject {{"role", "install-packages"}, {"after", 0.5},
                        {"duration", 1.0}, {"parallel", true}}}}});
        Transaction *download = createTransaction(QStringLiteral("download"));
        SignalRecorder outcome(download, Transaction::staticMetaObject);
        QElapsedTimer clock;
        clock.start();
        download->start();
        QTRY_VERIFY_WITH_TIMEOUT(
            PackageKitStandIn::calls().contains(QStringLiteral("Cancel UpgradeSystem")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(outcome.objectDeleted(), 60000);
        QCOMPARE(outcome.events, (QStringList {"success", "finished"}));
        QCOMPARE(PackageKitStandIn::calls().filter(Download).size(), 2);
        // The list repeated while the other work runs must not cancel the upgrade again.
        QCOMPARE(PackageKitStandIn::calls().count(QStringLiteral("Cancel UpgradeSystem")), 1);
        QVERIFY2(clock.elapsed() >= 30000, qPrintable(QString::number(clock.elapsed())));
    }

    void managerDownload()
    {
        loadState(QStringLiteral("4.5.0"));
        const QJsonArray before = PackageKitStandIn::repositories();
        PackageUpdateManager manager;
        SignalRecorder outcome(&manager);
        manager.prepare(QStringLiteral("4.6.0"));
        QCOMPARE(jobEnd(outcome, 20000), QStringLiteral("prepareFinished 250 300"));
        // By the time the sizes are reported the device is back on its release: whoever goes
        // on at once must not find the target release switched in.
        QCOMPARE(SsuIntegration().release(), QStringLiteral("4.5.0"));
        QVERIFY(!QFile::exists(ssuVersionFilePath()));

        outcome.events.clear();
        manager.download(QStringLiteral("4.6.0"));
        QCOMPARE(jobEnd(outcome, 20000), QStringLiteral("downloadFinished"));
        QVERIFY(!outcome.progress.isEmpty());
        for (const QVariantList &report : qAsConst(outcome.progress)) {
            // 250 bytes to download: the division comes first, so each per cent is 2 bytes.
            QCOMPARE(report.at(1).toLongLong(), 2 * report.at(0).toLongLong());
            QVERIFY(report.at(0).toInt() < 100);
        }
        // The simulation's removals and updates are resolved. Each step ran with the store
        // disabled.
        const QStringList calls = PackageKitStandIn::calls();
        QVERIFY(calls.contains(
            "Resolve 2097152 ext::data:repo,oldtool,game,tessaro-configuration-x1,kernel"));
        QCOMPARE(calls.filter(QStringLiteral("RepoEnable store false")).size(), 3);
        // The store comes back once PackageKit has answered, after the download has ended.
        verifyDeviceRestored(before);
    }

    void releaseAndRepositoriesComeBack_data()
    {
        QTest::addColumn<QString>("job");
        QTest::addColumn<int>("extraRepos");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("outcome"); // the job's last signal; a blank ends a prefix

        // No "prepare cancelled": a prepare cannot be cancelled over the bus.
        const QList<QStringList> rows {{"prepare", "prepare", "", "prepareFinished 250 300"},
            {"prepare fails", "prepare", "^UpgradeSystem 6 ext::", "error PackageError "},
            {"download", "download", "", "downloadFinished"},
            {"download fails", "download", "^UpgradeSystem 2 ", "error PackageError "},
            {"download cancelled", "download", "", "downloadCancelled"},
            {"second disable refused", "download", "^RepoEnable extra2 false",
                "error PackageError Failed to disable repository extra2: Simulated failure"}};
        for (int extra = 0; extra <= 3; ++extra) {
            for (const QStringList &row : rows) {
                if (extra >= 2 || !row.at(2).startsWith(QLatin1String("^RepoEnable")))
                    QTest::addRow("%s, %d other repositories", qPrintable(row.at(0)), extra)
                        << row.at(1) << extra << row.at(2) << row.at(3);
            }
        }
    }

    // Whatever the job and its end, the device afterwards follows its own release from the
    // repositories it had, and the files that would undo a crash are gone.
    void releaseAndRepositoriesComeBack()
    {
        QFETCH(QString, job);
        QFETCH(int, extraRepos);
        QFETCH(QString, fault);
        QFETCH(QString, outcome);

        // "beta" was disabled by the user and must stay so.
        QJsonArray repositories {QJsonObject {{"id", "adaptation0"}},
            QJsonObject {{"id", "tessaro"}}, QJsonObject {{"id", "beta"}, {"enabled", false}}};
        for (int i = 1; i <= extraRepos; ++i)
            repositories.append(QJsonObject {{"id", QStringLiteral("extra%1").arg(i)}});
        QJsonObject changes = fault.isEmpty() ? QJsonObject() : faults(fault);
        changes.insert("repositories", repositories);
        const bool cancel = outcome == QLatin1String("downloadCancelled");
        changes.insert("durations",
            QJsonObject {{"default", 0.02}, {"download", cancel ? 3 : 0.3}, {"cancel", 0.1},
                {"destroy", 0.1}});
        loadState(QStringLiteral("4.5.0"), changes);
        const QJsonArray before = PackageKitStandIn::repositories();

        PackageUpdateManager manager;
        SignalRecorder seen(&manager);
        if (job == QLatin1String("prepare"))
            manager.prepare(QStringLiteral("4.6.0"));
        else
            manager.download(QStringLiteral("4.6.0"));
        if (cancel) {
            QTRY_VERIFY_WITH_TIMEOUT(!seen.progress.isEmpty(), 20000);
            manager.cancelDownload();
        }
        const QString end = jobEnd(seen, 30000);
        QVERIFY2(outcome.endsWith(' ') ? end.startsWith(outcome) : end == outcome, qPrintable(end));

        verifyDeviceRestored(before);
        // Each wrapper switches to the target and back, never recording a switched release as
        // the one to go back to.
        SsuSettings::verifyReleaseRoundTrips(QStringLiteral("4.5.0"), QStringLiteral("4.6.0"));
        // Nothing a wrapper still has running may outlive the check above unnoticed.
        QTest::qWait(300);
        QCOMPARE(PackageKitStandIn::repositories(), before);
    }

    void managerReleasedWhileRestoring_data()
    {
        QTest::addColumn<int>("heldChange");
        // The download's repository changes: 1 isolates the simulation, 2 restores after it,
        // 3 isolates the download, 4 restores once the download has started.
        QTest::newRow("isolating") << 1;
        QTest::newRow("restoring") << 2;
        QTest::newRow("restoring beside the download") << 4;
    }

    // The manager goes, as when the service selects a method anew, while a wrapper is half
    // way: the wrapper finishes its work on what it shares, and the next manager's work waits
    // for it.
    void managerReleasedWhileRestoring()
    {
        QFETCH(int, heldChange);

        loadState(QStringLiteral("4.5.0"),
            {{"durations", QJsonObject {{"default", 0.02}, {"download", 3}, {"cancel", 0.1}}}});
        const QJsonArray before = PackageKitStandIn::repositories();
        PolkitMock::hold(PolkitMock::ConfigureSources);
        auto *manager = new PackageUpdateManager;
        manager->download(QStringLiteral("4.6.0"));
        QVERIFY(PolkitMock::waitForHeld(heldChange));
        manager->cancelDownload();
        delete manager;

        PackageUpdateManager next;
        SignalRecorder outcome(&next);
        next.prepare(QStringLiteral("4.6.0"));
        PolkitMock::releaseAll();
        QCOMPARE(jobEnd(outcome, 20000), QStringLiteral("prepareFinished 250 300"));
        verifyDeviceRestored(before);
    }

    void install_data()
    {
        QTest::addColumn<QString>("atTrigger");
        QTest::addColumn<bool>("reboot");
        QTest::addColumn<QString>("error");

        QTest::newRow("no reboot") << "" << false << "";
        QTest::newRow("regular file at the trigger") << "file" << true << "";
        QTest::newRow("link to elsewhere at the trigger") << "/etc/ssu/ssu.ini" << true << "";
        QTest::newRow("dangling link at the trigger")
            << "/nonexistent/update_info.ini" << true
            << "Failed to create a symlink to update info file";
    }

    void install()
    {
        QFETCH(QString, atTrigger);
        QFETCH(bool, reboot);
        QFETCH(QString, error);

        QFile::remove(TriggerLink);
        if (atTrigger == QLatin1String("file"))
            QVERIFY(QFile(TriggerLink).open(QIODevice::WriteOnly));
        else if (!atTrigger.isEmpty())
            QVERIFY(QFile::link(atTrigger, TriggerLink));

        PackageUpdateManager manager;
        QSignalSpy errors(&manager, &PackageUpdateManager::error);
        manager.install(QStringLiteral("4.6.0"), reboot);
        // The home screen learns of the upgrade before anything can fail. Both calls block until
        // the stand-ins have them.
        QCOMPARE(DeviceControlMock::shutdownModes(), QStringList {"upgrade"});
        QCOMPARE(DeviceControlMock::rebootRequests(), int(reboot && error.isEmpty()));
        DeviceControlMock::clear();
        QCOMPARE(errors.isEmpty() ? QString() : errors.first().at(1).toString(), error);
        if (!error.isEmpty())
            return;
        const QString info = QStringLiteral("/var/lib/zovoveva-update/update_info.ini");
        QCOMPARE(readFile(info), QByteArray("[General]\nversion=4.6.0\n"));
        QCOMPARE(QFile::symLinkTarget(TriggerLink), info);
        // Replacing a link must not touch what it pointed to.
        if (atTrigger.startsWith(QLatin1Char('/')))
            QVERIFY(QFileInfo(atTrigger).isFile());
    }
};

QTEST_GUILESS_MAIN(TestPackageTransactions)
#include "tst_packagetransactions.moc"
