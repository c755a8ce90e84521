// The reset update manager as the service drives it: where the image comes from and goes to,
// vendor data, cancelling, and the device-lock chain through the platform stand-in. Runs on the
// simulated device, whose cache directory, /etc/ssu and system bus are private.
#include "enums.h"
#include "faultserver.h"
#include "releaseserver.h"
#include "resetupdatemanager/resetupdatemanager.h"
#include "testfiles.h"
#include "util.h"

#include <nemo-devicelock/standincontrol.h>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTest>

using namespace Corvane;
using Corvane::ResetUpdates::ResetUpdateManager;
using UpdateError = Enums::UpdateError;
using NemoDeviceLock::StandInControl;

namespace {

constexpr qint64 ImageSize = 3 * 1024 * 1024 + 17;

// Everything the manager emits, in order, as text; progress separately.
class Recorder : public QObject
{
public:
    explicit Recorder(ResetUpdateManager *manager)
    {
        // Queued like the service's own connections, so that signals from the installation's
        // thread are recorded on this one.
        const auto queued = Qt::QueuedConnection;
        connect(
            manager, &ResetUpdateManager::prepareFinished, this,
            [this](qint64 d, qint64 i) {
                events.append(QStringLiteral("prepared %1 %2").arg(d).arg(i));
            },
            queued);
        connect(
            manager, &ResetUpdateManager::downloadProgress, this,
            [this](int p, qint64 b) {
                progress.append({p, b});
            },
            queued);
        const QList<QPair<void (ResetUpdateManager::*)(), QString>> plain {
            {&ResetUpdateManager::downloadFinished, QStringLiteral("finished")},
            {&ResetUpdateManager::downloadCancelled, QStringLiteral("cancelled")},
            {&ResetUpdateManager::downloadVendorDataFinished, QStringLiteral("vendor finished")},
            {&ResetUpdateManager::downloadVendorDataCancelled, QStringLiteral("vendor cancelled")},
            {&ResetUpdateManager::installFinished, QStringLiteral("installed")},
        };
        for (const auto &signal : plain) {
            const QString name = signal.second;
            connect(
                manager, signal.first, this,
                [this, name] {
                    events.append(name);
                },
                queued);
        }
        connect(
            manager, &ResetUpdateManager::error, this,
            [this](UpdateError code, const QString &details) {
                events.append(QStringLiteral("error %1 %2").arg(Enums::key(code), details));
            },
            queued);
    }

    [[nodiscard]] bool waitForEvents(int count, int timeoutMs = 30000)
    {
        return QTest::qWaitFor(
            [&] {
                return events.size() >= count;
            },
            timeoutMs);
    }

    QStringList events;
    QList<QPair<int, qint64>> progress;
};

} // namespace

class TestResetUpdateManager : public QObject
{
    Q_OBJECT

private:
    ReleaseServer m_nginx;
    ReleaseServer m_slow;
    FaultServer m_faults;
    QString m_imagePath; // relative to the servers' roots
    QString m_vendorData;

    QString imagesDir() const { return cacheDir().absoluteFilePath(QStringLiteral("images")); }
    QString vendorDir() const { return cacheDir().absoluteFilePath(QStringLiteral("vendor-data")); }

    void configure(const QString &domain, const QString &model = QStringLiteral("m1"),
        const QString &features = QStringLiteral("a, b"))
    {
        TestFiles::Ssu ssu;
        ssu.releaseDomain = domain;
        ssu.model = model;
        ssu.features = features;
        TestFiles::configure(ssu);
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(m_nginx.start());
        QVERIFY(m_slow.start({QStringLiteral("--limit-rate"), QStringLiteral("256k")}));
        QVERIFY(m_faults.start());
        m_imagePath = QStringLiteral("images/5.0.1.10/m1/a-b/image.tar.gz");
        for (const QString &root : {m_nginx.root(), m_slow.root()}) {
            QVERIFY(QDir(root).mkpath(QStringLiteral("images/5.0.1.10/m1/a-b")));
            QVERIFY(QDir(root).mkpath(QStringLiteral("images/5.0.1.10/m1/Store-vendor_apps")));
        }
        QVERIFY(TestFiles::writeRandom(QDir(m_nginx.root()).filePath(m_imagePath), ImageSize));
        for (const QString &copy :
            {QStringLiteral("images/5.0.1.10/m1/Store-vendor_apps/image.tar.gz")})
            QVERIFY(QFile::copy(
                QDir(m_nginx.root()).filePath(m_imagePath), QDir(m_nginx.root()).filePath(copy)));
        QVERIFY(QFile::copy(
            QDir(m_nginx.root()).filePath(m_imagePath), QDir(m_slow.root()).filePath(m_imagePath)));
        m_vendorData = QDir(m_faults.root()).filePath(QStringLiteral("vd.tar.gz"));
        QVERIFY(TestFiles::writeRandom(m_vendorData, 2 * 1024 * 1024 + 5));
    }

    void init()
    {
        QDir(imagesDir()).removeRecursively();
        QDir(vendorDir()).removeRecursively();
        m_nginx.clearLog();
        m_faults.clearLog();
        StandInControl::reset();
        configure(m_nginx.address());
    }

    // The image URL and the file name follow the SSU configuration; without any of its parts
    // there is no URL and nothing is fetched.
    void imageUrlAndFile_data()
    {
        QTest::addColumn<bool>("domain");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("features");
        QTest::addColumn<QString>("uri"); // empty: invalid
        QTest::addColumn<QString>("file");

        QTest::newRow("a-b") << true << "5.0.1.10"
                             << "m1"
                             << "a, b"
                             << "/images/5.0.1.10/m1/a-b/image.tar.gz"
                             << "a-b-5.0.1.10.tar.gz";
        QTest::newRow("features sorted, blanks become underscores")
            << true << "5.0.1.10"
            << "m1"
            << "vendor apps, Store"
            << "/images/5.0.1.10/m1/Store-vendor_apps/image.tar.gz"
            << "Store-vendor_apps-5.0.1.10.tar.gz";
        QTest::newRow("no features") << true << "5.0.1.10"
                                     << "m1"
                                     << ""
                                     << ""
                                     << "";
        QTest::newRow("no version") << true << ""
                                    << "m1"
                                    << "a"
                                    << ""
                                    << "";
        QTest::newRow("no model") << true << "5.0.1.10"
                                  << ""
                                  << "a"
                                  << ""
                                  << "";
        QTest::newRow("no release domain") << false << "5.0.1.10"
                                           << "m1"
                                           << "a"
                                           << ""
                                           << "";
    }

    void imageUrlAndFile()
    {
        QFETCH(bool, domain);
        QFETCH(QString, version);
        QFETCH(QString, model);
        QFETCH(QString, features);
        QFETCH(QString, uri);
        QFETCH(QString, file);

        configure(domain ? m_nginx.address() : QString(), model, features);
        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        manager.prepare(version);
        QVERIFY(recorder.waitForEvents(1));
        if (uri.isEmpty()) {
            QCOMPARE(
                recorder.events, QStringList {QStringLiteral("error InternalError Invalid URL: ")});
            QTest::qWait(100);
            QVERIFY(m_nginx.requests().isEmpty());
            return;
        }
        QCOMPARE(recorder.events, QStringList {QStringLiteral("prepared %1 0").arg(ImageSize)});
        manager.download(version);
        QVERIFY(recorder.waitForEvents(2));
        QCOMPARE(recorder.events.last(), QStringLiteral("finished"));
        QCOMPARE(recorder.progress.last(), qMakePair(100, ImageSize));

        const QString path = QDir(imagesDir()).filePath(file);
        QCOMPARE(TestFiles::md5(path), TestFiles::md5(QDir(m_nginx.root()).filePath(m_imagePath)));
        QTRY_COMPARE(m_nginx.requests().size(), 2);
        for (const QJsonObject &request : m_nginx.requests())
            QCOMPARE(request.value("uri").toString(), uri);
    }

    void downloadNeedsPreparationOfThatVersion()
    {
        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        manager.download(QStringLiteral("5.0.1.10"));
        manager.prepare(QStringLiteral("5.0.1.10"));
        QVERIFY(recorder.waitForEvents(2));
        manager.download(QStringLiteral("5.0.1.11"));
        QVERIFY(recorder.waitForEvents(3));
        QCOMPARE(recorder.events,
            QStringList({QStringLiteral("error InternalError Update is not prepared"),
                QStringLiteral("prepared %1 0").arg(ImageSize),
                QStringLiteral("error InternalError Update is not prepared")}));
        QTest::qWait(100);
        QCOMPARE(m_nginx.requests().size(), 1);
        QVERIFY(QDir(imagesDir()).isEmpty());
    }

    // Vendor data: no size report, no progress, its own end signal, its own file.
    void vendorData_data()
    {
        QTest::addColumn<QString>("url"); // "%1" is the fault server's address
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<qint64>("size"); // of the vendor-data file afterwards; -1: the earlier one

        QTest::newRow("fetched") << "https://%1/vd.tar.gz"
                                 << "vendor finished" << qint64(2097157);
        QTest::newRow("connection dropped: what came stays")
            << "https://%1/m/drop=1000000/vd.tar.gz"
            << "error NetworkError" << qint64(1000000);
        QTest::newRow("not a URL: earlier file stays")
            << "https://[::1"
            << "error InternalError Invalid URL: https://[::1" << qint64(-1);
        QTest::newRow("not found: earlier file stays") << "https://%1/none.tar.gz"
                                                       << "error NetworkError" << qint64(-1);
    }

    void vendorData()
    {
        QFETCH(QString, url);
        QFETCH(QString, outcome);
        QFETCH(qint64, size);

        QVERIFY(QDir().mkpath(vendorDir()));
        const QString file = QDir(vendorDir()).filePath(QStringLiteral("a-b-vd.tar.gz"));
        if (size < 0)
            QVERIFY(TestFiles::write(file, "earlier"));

        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        const QString address =
            url.contains(QLatin1String("%1")) ? url.arg(m_faults.address()) : url;
        manager.downloadVendorData(address);
        QVERIFY(recorder.waitForEvents(1));
        QVERIFY2(recorder.events.last().startsWith(outcome), qPrintable(recorder.events.join('|')));
        QTest::qWait(100);
        QCOMPARE(recorder.events.size(), 1);
        QVERIFY(recorder.progress.isEmpty());

        if (size < 0) {
            QFile earlier(file);
            QVERIFY(earlier.open(QIODevice::ReadOnly));
            QCOMPARE(earlier.readAll(), QByteArray("earlier"));
            return;
        }
        QCOMPARE(QFileInfo(file).size(), size);
        QFile source(m_vendorData);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QFile result(file);
        QVERIFY(result.open(QIODevice::ReadOnly));
        QCOMPARE(result.readAll(), source.read(size));
    }

    void cancelDownload()
    {
        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        manager.cancelDownload();
        QTest::qWait(200);
        QVERIFY(recorder.events.isEmpty());

        configure(m_slow.address());
        manager.prepare(QStringLiteral("5.0.1.10"));
        QVERIFY(recorder.waitForEvents(1));
        manager.download(QStringLiteral("5.0.1.10"));
        QTRY_VERIFY(!recorder.progress.isEmpty());
        manager.cancelDownload();
        QVERIFY(recorder.waitForEvents(2));
        QCOMPARE(recorder.events.last(), QStringLiteral("cancelled"));

        manager.downloadVendorData(
            m_faults.url(QStringLiteral("vd.tar.gz"), QStringLiteral("trickle=65536")));
        QTRY_VERIFY(
            QFileInfo(QDir(vendorDir()).filePath(QStringLiteral("a-b-vd.tar.gz"))).size() > 0);
        manager.cancelDownload();
        QVERIFY(recorder.waitForEvents(3));
        QCOMPARE(recorder.events.last(), QStringLiteral("vendor cancelled"));
    }

    void installNeedsTheDownload()
    {
        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        manager.install(QStringLiteral("5.0.1.10"), false);
        QVERIFY(recorder.waitForEvents(1));
        QCOMPARE(recorder.events,
            QStringList {QStringLiteral("error InternalError Update is not downloaded")});
    }

    // A challenge issued by the device lock runs authentication and the device clear; its end
    // is the installation's end, with the reboot request.
    void deviceLockChain_data()
    {
        QTest::addColumn<bool>("declined");
        QTest::addColumn<bool>("authenticates");
        QTest::addColumn<bool>("clears");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("reboots");

        const QString authenticate = QStringLiteral("authenticate(c0de, 5)");
        const QString clear = QStringLiteral("clearDevice(token:c0de, 1)");
        QTest::newRow("cleared") << false << true << true << QStringList {authenticate, clear}
                                 << "installed" << 1;
        QTest::newRow("challenge declined")
            << true << true << true << QStringList {}
            << "error AuthenticationError Failed to issue authorization challenge for device reset"
            << 0;
        QTest::newRow("authentication aborted")
            << false << false << true << QStringList {authenticate}
            << "error AuthenticationError Failed to authenticate for device reset" << 0;
        QTest::newRow("clear failed") << false << true << false << QStringList {authenticate, clear}
                                      << "error InternalError Failed to reset device" << 0;
    }

    void deviceLockChain()
    {
        QFETCH(bool, declined);
        QFETCH(bool, authenticates);
        QFETCH(bool, clears);
        QFETCH(QStringList, calls);
        QFETCH(QString, outcome);
        QFETCH(int, reboots);

        TestFiles::clearRebootRequests();
        ResetUpdateManager manager(false, -1);
        Recorder recorder(&manager);
        StandInControl::setAuthenticationSucceeds(authenticates);
        StandInControl::setClearDeviceSucceeds(clears);
        if (declined)
            StandInControl::declineChallenge();
        else
            StandInControl::issueChallenge(QStringLiteral("c0de"),
                NemoDeviceLock::Authenticator::SecurityCode |
                    NemoDeviceLock::Authenticator::Confirmation);
        QVERIFY(recorder.waitForEvents(1));
        QCOMPARE(recorder.events, QStringList {outcome});
        QCOMPARE(StandInControl::calls(), calls);
        QCOMPARE(TestFiles::rebootRequests(), reboots);
    }
};

QTEST_GUILESS_MAIN(TestResetUpdateManager)
#include "tst_resetupdatemanager.moc"
