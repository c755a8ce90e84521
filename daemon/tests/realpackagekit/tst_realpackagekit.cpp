// The package update method driven through corvanectl against Debian's PackageKit daemon with
// its dummy backend, where our stand-in cannot show how the real one schedules, cancels and
// asks polkit. Each function runs in a device of its own (see CMakeLists.txt).
//
// What the dummy backend cannot play: it reports no sizes (no Details signals, so the update's
// size is 0), its Resolve knows none of the packages its own simulation names (no packages to
// remove), and it has the fixed repositories fedora, development and livna-development, whose
// enabled state lives only as long as the packagekitd process.
#include "busclient.h"
#include "daemonprocess.h"
#include "devicecontrolmock.h"
#include "fileio.h"
#include "polkitmock.h"
#include "releaseserver.h"
#include "ssuintegration.h"
#include "ssusettings.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString CacheFile = QStringLiteral("/home/.system-updates/os-info.json");
const QString ReleaseRecoveryFile = QStringLiteral("/home/.system-updates/ssu-version");
const QString DisabledReposFile = QStringLiteral("/home/.system-updates/disabled-repos");

const QString PackageKitService = QStringLiteral("org.freedesktop.PackageKit");
const QString TransactionInterface = QStringLiteral("org.freedesktop.PackageKit.Transaction");
const QString RefreshSources = QStringLiteral("org.freedesktop.packagekit.system-sources-refresh");

// PackageKit's numbers, as on the bus.
constexpr uint RoleRefreshCache = 13;
constexpr uint RoleUpgradeSystem = 33;
constexpr quint64 FlagSimulate = 1 << 2;
constexpr uint ExitSuccess = 1;
constexpr uint ExitCancelled = 3;
constexpr uint ErrorNotAuthorized = 48;

const QStringList AllRepositories = {"development", "fedora", "livna-development"};
const QStringList RequiredRepositories = {"fedora"};

QString release()
{
    return Corvane::SsuIntegration().release();
}

// The repositories packagekitd reports enabled, sorted; pkcon is a client nobody here wrote.
QStringList enabledRepositories()
{
    const ToolResult list = BusClient::run(QStringLiteral("pkcon"), {"--plain", "repo-list"});
    static const QRegularExpression line(
        QStringLiteral("^\\s*Enabled\\s+(\\S+)"), QRegularExpression::MultilineOption);
    QStringList result;
    for (auto it = line.globalMatch(list.out); it.hasNext();)
        result.append(it.next().captured(1));
    result.sort();
    return result;
}

bool polkit(const QString &method, const QVariantList &arguments = {})
{
    return PolkitMock::call(method, arguments).type() == QDBusMessage::ReplyMessage;
}

} // namespace

/**
 * Every transaction of the real PackageKit as any client on the system bus sees it: role,
 * flags, errors and exit from the transactions' signals, and each TransactionListChanged.
 * Refused transactions never enter the list, so the transactions' own signals are followed.
 */
class PackageKitRecorder : public QObject
{
    Q_OBJECT

public:
    struct Transaction
    {
        uint role = 0;
        quint64 flags = 0;
        qint64 listedMs = -1;
        qint64 finishedMs = -1;
        uint exit = 0;
        QList<uint> errors;
    };

    PackageKitRecorder()
    {
        m_clock.start();
        QDBusConnection bus = QDBusConnection::systemBus();
        // An empty path matches every transaction object.
        for (const char *name : {"ErrorCode", "Finished", "PropertiesChanged"}) {
            bus.connect(PackageKitService, QString(),
                qstrcmp(name, "PropertiesChanged")
                    ? TransactionInterface
                    : QStringLiteral("org.freedesktop.DBus.Properties"),
                QLatin1String(name), this, SLOT(onTransactionSignal(QDBusMessage)));
        }
        bus.connect(PackageKitService, QStringLiteral("/org/freedesktop/PackageKit"),
            PackageKitService, QStringLiteral("TransactionListChanged"), this,
            SLOT(onListChanged(QStringList)));
    }

    // The transactions of the role in the order they came; simulations left out.
    QList<Transaction> transactions(uint role = RoleUpgradeSystem) const
    {
        QList<Transaction> result;
        for (const QString &path : m_order) {
            const Transaction &transaction = m_transactions[path];
            if (transaction.role == role && !(transaction.flags & FlagSimulate))
                result.append(transaction);
        }
        return result;
    }

    QList<uint> exits(uint role = RoleUpgradeSystem) const
    {
        QList<uint> result;
        for (const Transaction &transaction : transactions(role))
            result.append(transaction.exit);
        return result;
    }

    QList<QPair<qint64, QStringList>> lists; // each TransactionListChanged, with its time

private slots:
    void onTransactionSignal(const QDBusMessage &message)
    {
        if (!m_transactions.contains(message.path()))
            m_order.append(message.path());
        Transaction &transaction = m_transactions[message.path()];
        const QVariant first = message.arguments().value(0);
        if (message.member() == QLatin1String("ErrorCode")) {
            transaction.errors.append(first.toUInt());
        } else if (message.member() == QLatin1String("Finished")) {
            transaction.exit = first.toUInt();
            transaction.finishedMs = m_clock.elapsed();
        } else if (first.toString() == TransactionInterface) {
            const QVariantMap changed =
                qdbus_cast<QVariantMap>(message.arguments().value(1).value<QDBusArgument>());
            transaction.role = changed.value(QStringLiteral("Role"), transaction.role).toUInt();
            transaction.flags =
                changed.value(QStringLiteral("TransactionFlags"), transaction.flags).toULongLong();
        }
    }

    void onListChanged(const QStringList &paths)
    {
        lists.append({m_clock.elapsed(), paths});
        for (const QString &path : paths) {
            if (!m_transactions.contains(path))
                m_order.append(path);
            if (m_transactions[path].listedMs < 0)
                m_transactions[path].listedMs = m_clock.elapsed();
        }
    }

private:
    QElapsedTimer m_clock;
    QMap<QString, Transaction> m_transactions;
    QStringList m_order;
};

class TestRealPackageKit : public QObject
{
    Q_OBJECT

private:
    void startDaemon()
    {
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
    }

    // A daemon of its own has checked, which selects the package method, and put the device
    // back.
    void startDaemonAndCheck()
    {
        startDaemon();
        QCOMPARE(corvanectl({"check"}).exitCode, 0);
        verifyDeviceRestored();
    }

    // corvanectl download in the background, while the test goes on with the event loop
    // running: the recorder's times are taken when a signal is handled.
    void startDownload()
    {
        m_download.start(corvanectlPath(), {QStringLiteral("download")});
        QVERIFY(m_download.waitForStarted());
    }

    // The download in the background, once PackageKit reports its first per cent.
    void startDownloadUntilProgress()
    {
        BusSignal progress(QStringLiteral("DownloadProgress"));
        startDownload();
        QVERIFY(progress.spy().wait(60000));
    }

    // Whatever a job did to the device for its own transactions has been undone: the
    // release, the recovery file and the repositories.
    static void verifyDeviceRestored()
    {
        const auto device = [] {
            return QStringLiteral("release %1, recovery file %2, enabled %3")
                .arg(release(), QFile::exists(ReleaseRecoveryFile) ? "present" : "absent",
                    enabledRepositories().join(' '));
        };
        QTRY_COMPARE_WITH_TIMEOUT(device(),
            "release 4.5.0, recovery file absent, enabled " + AllRepositories.join(' '), 15000);
    }

    // The daemon rests after the job, with the update downloaded or not, and the device is
    // as it was.
    static void verifyRestingAfter(bool downloaded)
    {
        QCOMPARE(BusClient::status(), 0);
        QCOMPARE(BusClient::property("isDownloaded").toBool(), downloaded);
        verifyDeviceRestored();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_server.serve(QStringLiteral("metav2"),
            R"({"devices": [{"device": "x1", "latestRelease": "4.6.0", "releases": [
                {"version": "4.6.0", "updateMethods": [{"method": "Package"}]}]}]})");
    }

    void init()
    {
        // The device's polkit mock allows what it knows of; PackageKit's actions too.
        QVERIFY(polkit(QStringLiteral("AllowUnknown"), {true}));
        QVERIFY(polkit(QStringLiteral("SimulateHangActions"), {QStringList()}));
        // The dummy backend keeps its repository states while packagekitd runs.
        for (const QString &repository : AllRepositories) {
            if (!enabledRepositories().contains(repository))
                BusClient::run(QStringLiteral("pkcon"), {"--plain", "repo-enable", repository});
        }
        QCOMPARE(enabledRepositories(), AllRepositories);
        QFile::remove(CacheFile);
        QFile::remove(ReleaseRecoveryFile);
        QFile::remove(DisabledReposFile);
        QFile::remove(QStringLiteral("/system-update"));
        // The SSU repositories are the ones the update needs; the backend's others are
        // disabled around each of the daemon's transactions.
        SsuSettings ssu(m_server.address());
        ssu.release = QStringLiteral("4.5.0");
        ssu.repos = RequiredRepositories.join(QStringLiteral(", "));
        ssu.write();
    }

    void cleanup()
    {
        if (m_download.state() != QProcess::NotRunning) {
            m_download.kill();
            m_download.waitForFinished();
        }
        if (QTest::currentTestFailed() && m_daemon)
            qInfo().noquote() << "The daemon's log:\n" << m_daemon->log();
        m_daemon.reset();
    }

    void packageFlow()
    {
        PackageKitRecorder recorder;
        startDaemonAndCheck();
        QCOMPARE(BusClient::property("version").toString(), QStringLiteral("4.6.0"));
        QCOMPARE(corvanectl({"set-method", "package"}).exitCode, 0);

        QCOMPARE(corvanectl({"download"}).exitCode, 0);
        QTRY_COMPARE(recorder.exits(), QList<uint> {ExitSuccess});
        verifyRestingAfter(true);

        QCOMPARE(corvanectl({"install", "--reboot"}).exitCode, 0);
        const QString info = QStringLiteral("/var/lib/zovoveva-update/update_info.ini");
        QCOMPARE(QFileInfo(QStringLiteral("/system-update")).symLinkTarget(), info);
        QVERIFY2(readFile(info).contains("version=4.6.0"), readFile(info).constData());
        QTRY_COMPARE(DeviceControlMock::rebootRequests(), 1);
        QCOMPARE(DeviceControlMock::shutdownModes(), QStringList {"upgrade"});
    }

    // The real daemon stops a cancelled transaction about 1.5 s after the call.
    void cancelledDownload()
    {
        startDaemonAndCheck();
        PackageKitRecorder recorder;
        startDownloadUntilProgress();

        const ToolResult cancel = corvanectl({"cancel"});
        QCOMPARE(cancel.exitCode, 0);
        QCOMPARE(cancel.out, QStringLiteral("Download cancelled.\n"));
        QTRY_VERIFY_WITH_TIMEOUT(m_download.state() == QProcess::NotRunning, 30000);
        QCOMPARE(m_download.exitCode(), 1);
        // PackageKit's own transaction ends cancelled, not merely forgotten by the daemon.
        QTRY_COMPARE(recorder.exits(), QList<uint> {ExitCancelled});
        verifyRestingAfter(false);
    }

    // polkit refuses the download (the simulations ask for nothing); the daemon retries, then
    // reports PackageKit's text.
    void refusedDownload()
    {
        startDaemonAndCheck();
        QVERIFY(polkit(QStringLiteral("AllowUnknown"), {false}));
        QVERIFY(polkit(QStringLiteral("SetAllowed"),
            {QStringList {PolkitMock::ConfigureSources, RefreshSources}}));
        PackageKitRecorder recorder;

        const ToolResult download = corvanectl({"download"});
        QCOMPARE(download.exitCode, 1);
        QVERIFY2(download.err.contains(
                     QStringLiteral("error: PackageError: Failed to obtain authentication.")),
            qPrintable(download.err));
        // The first attempt and three retries.
        QTRY_COMPARE(recorder.transactions().size(), 4);
        for (const PackageKitRecorder::Transaction &attempt : recorder.transactions())
            QCOMPARE(attempt.errors, QList<uint> {ErrorNotAuthorized});
        verifyRestingAfter(false);
    }

    // The daemon is killed while the repositories it does not need are disabled and the
    // device is on the target release; its next start puts both back.
    void repositoriesRestoredAfterCrash()
    {
        startDaemonAndCheck();
        // Each repository change waits for polkit's answer, so the moment is chosen exactly:
        // two disabling calls are let through, the first re-enabling one is held.
        PolkitMock::hold(PolkitMock::ConfigureSources);
        startDownload();
        QVERIFY(PolkitMock::waitForHeld(3, 30000));
        QCOMPARE(enabledRepositories(), RequiredRepositories);
        QCOMPARE(release(), QStringLiteral("4.6.0"));
        QCOMPARE(readFile(ReleaseRecoveryFile), QByteArray("4.5.0"));
        QStringList recorded = QString::fromUtf8(readFile(DisabledReposFile)).split('\n');
        recorded.removeAll(QString());
        recorded.sort();
        QCOMPARE(recorded, QStringList({"development", "livna-development"}));

        m_daemon->kill();
        m_download.kill();
        // The held call stays unanswered: only the next start may enable the repositories.
        QVERIFY(polkit(QStringLiteral("SimulateHangActions"), {QStringList()}));
        // The cache file from the check selects the package method at start.
        startDaemon();
        QTRY_VERIFY_WITH_TIMEOUT(
            BusClient::status() == 0 && !QFile::exists(ReleaseRecoveryFile), 30000);
        verifyDeviceRestored();
        // A list left behind would enable repositories again at a later start, when the user
        // may have disabled them.
        QTRY_VERIFY(!QFile::exists(DisabledReposFile));
    }

    // Another client's transaction makes our download step aside; it comes back once
    // PackageKit has had no transaction for 30 s. Waits about a minute.
    void downloadYieldsToForeignTransaction()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SLOW_TESTS"))
            QSKIP("waits 30 seconds of idleness; set CORVANE_SLOW_TESTS");
        startDaemonAndCheck();
        PackageKitRecorder recorder;
        startDownloadUntilProgress();

        // A refresh runs 5 s with the dummy backend, beside the download.
        QProcess foreign;
        foreign.start(QStringLiteral("pkcon"), {"--plain", "refresh", "force"});
        QTRY_VERIFY_WITH_TIMEOUT(m_download.state() == QProcess::NotRunning, 120000);
        QVERIFY2(m_download.exitCode() == 0, m_download.readAllStandardError().constData());
        QVERIFY(foreign.state() == QProcess::NotRunning || foreign.waitForFinished());
        QCOMPARE(foreign.exitCode(), 0);

        QCOMPARE(recorder.exits(), (QList<uint> {ExitCancelled, ExitSuccess}));
        const QList<PackageKitRecorder::Transaction> downloads = recorder.transactions();
        const QList<PackageKitRecorder::Transaction> refreshes =
            recorder.transactions(RoleRefreshCache);
        const PackageKitRecorder::Transaction refresh = refreshes.value(refreshes.size() - 1);
        QCOMPARE(refresh.exit, ExitSuccess);
        // Stepped aside while the refresh ran, not after it.
        QVERIFY(downloads.at(0).finishedMs < refresh.finishedMs);

        qint64 lastEmpty = -1;
        for (const auto &change : qAsConst(recorder.lists)) {
            if (change.first >= downloads.at(1).listedMs)
                break;
            if (change.second.isEmpty() && lastEmpty < 0)
                lastEmpty = change.first;
            else if (!change.second.isEmpty())
                lastEmpty = -1;
        }
        QVERIFY(lastEmpty >= refresh.finishedMs);
        // Qt runs a timer of 20 s or more on whole seconds of the clock: up to 1 s early.
        const qint64 idle = downloads.at(1).listedMs - lastEmpty;
        QVERIFY2(idle >= 28900 && idle < 40000, qPrintable(QString::number(idle)));
        verifyRestingAfter(true);
    }

private:
    ReleaseServer m_server;
    QScopedPointer<DaemonProcess> m_daemon;
    QProcess m_download;
};

QTEST_GUILESS_MAIN(TestRealPackageKit)
#include "tst_realpackagekit.moc"
