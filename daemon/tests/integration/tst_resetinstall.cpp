// The reset update's installation on real file systems: ext4 images on loop devices linked as
// the device's partitions, the real e2fsck, resize2fs and mount, the DSME stand-in on the
// device's system bus. Every loop device attached here is detached here.
#include "busclient.h"
#include "daemonprocess.h"
#include "enums.h"
#include "releaseserver.h"
#include "resetupdatemanager/imagearchive.h"
#include "resetupdatemanager/resetupdatemanager.h"
#include "testfiles.h"
#include "util.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

using namespace Corvane;
using Corvane::ResetUpdates::ImageArchive;
using Corvane::ResetUpdates::ResetUpdateManager;
using UpdateError = Enums::UpdateError;

using TestFiles::run;

namespace {

const QString Version = QStringLiteral("5.0.1.10");
const QString Name = QStringLiteral("a-b-5.0.1.10");
const QString PartLabels = QStringLiteral("/dev/disk/by-partlabel/");
const QString Markers = QStringLiteral("/usr/share/lipstick/devicelock/");
const QString Inspect = QStringLiteral("/tmp/inspect");
// Writes a tar.gz of entries given as a Python list of (name, kind, size or link target), kind
// f(ile), d(irectory), l(ink), h(ard link), p(ipe) or c(haracter device).
const char *const TarWriter = R"(import ast, io, sys, tarfile
kinds = {"f": tarfile.REGTYPE, "d": tarfile.DIRTYPE, "l": tarfile.SYMTYPE, "h": tarfile.LNKTYPE,
         "p": tarfile.FIFOTYPE, "c": tarfile.CHRTYPE}
with tarfile.open(sys.argv[1], "w:gz") as archive:
    for name, kind, argument in ast.literal_eval(sys.argv[2]):
        entry = tarfile.TarInfo(name)
        entry.type = kinds[kind]
        if kind in "lh":
            entry.linkname = argument
        entry.size = argument if kind == "f" else 0
        archive.addfile(entry, io.BytesIO(b"x" * entry.size) if kind == "f" else None)
)";

const QByteArray ResetMetadata = R"({"devices": [{"device": "m1", "latestRelease": "5.0.1.10",
    "releases": [{"version": "5.0.1.10", "updateMethods": [{"method": "Reset"}]}]}]})";

QMutex g_lock;
QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

// The installation logs from its own thread.
void collectMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&g_lock);
        g_messages.append(message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

int countMessages(const QString &text)
{
    QMutexLocker locker(&g_lock);
    return g_messages.filter(text).size();
}

bool isMounted(const QString &path)
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields.at(4) == path.toUtf8())
            return true;
    }
    return false;
}

// An image file attached to a loop device and linked under a partition label; all of it
// undone by the destructor.
class Partition
{
public:
    Partition() = default;
    Partition(const Partition &) = delete;
    Partition &operator=(const Partition &) = delete;
    ~Partition()
    {
        if (!m_label.isEmpty())
            QFile::remove(PartLabels + m_label);
        if (!m_device.isEmpty()) {
            while (isMounted(QStringLiteral("/fimage")))
                ::umount("/fimage");
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), m_device});
        }
        if (!m_image.isEmpty())
            QFile::remove(m_image);
    }

    // An ext4 file system of fsKiB on a device of deviceKiB, so that resize2fs has work; with
    // fsKiB 0, a device of zeros.
    [[nodiscard]] bool create(const QString &label, qint64 deviceKiB, qint64 fsKiB)
    {
        m_image = QDir(
            QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SANDBOX_STATE")))
                      .filePath(label + QStringLiteral(".img"));
        QFile::remove(m_image);
        QFile image(m_image);
        if (!image.open(QIODevice::WriteOnly) || !image.resize(deviceKiB * 1024))
            return false;
        image.close();
        int code = 0;
        if (fsKiB > 0) {
            run(QStringLiteral("mkfs.ext4"),
                {QStringLiteral("-q"), m_image, QStringLiteral("%1k").arg(fsKiB)}, &code);
            if (code != 0)
                return false;
        }
        m_device = run(QStringLiteral("losetup"),
            {QStringLiteral("--find"), QStringLiteral("--show"), m_image}, &code)
                       .trimmed();
        if (code != 0 || !m_device.startsWith(QLatin1String("/dev/loop"))) {
            m_device.clear();
            return false;
        }
        m_label = label;
        QFile::remove(PartLabels + label);
        return QFile::link(m_device, PartLabels + label);
    }

    // Leaves an error in the file system that e2fsck -p corrects (exit code 1).
    [[nodiscard]] bool damage() const
    {
        int code = 0;
        run(QStringLiteral("debugfs"),
            {QStringLiteral("-w"), QStringLiteral("-R"), QStringLiteral("sif <2> links_count 7"),
                m_device},
            &code);
        return code == 0;
    }

    qint64 blockCount() const
    {
        const QString header = run(QStringLiteral("dumpe2fs"), {QStringLiteral("-h"), m_device});
        for (const QString &line : header.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("Block count:")))
                return line.mid(12).trimmed().toLongLong();
        return -1;
    }

    QByteArray read(qint64 size) const
    {
        QFile device(m_device);
        return device.open(QIODevice::ReadOnly) ? device.read(size) : QByteArray();
    }

    QString device() const { return m_device; }

private:
    QString m_image;
    QString m_device;
    QString m_label;
};

struct Entry
{
    QString name;
    qint64 size; // 0 with a link target: a symbolic link
    QString linkTarget;
};

} // namespace

class TestResetInstall : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_sources;

    QString archivePath() const
    {
        return cacheDir().absoluteFilePath(QStringLiteral("images/%1.tar.gz").arg(Name));
    }
    QString vendorDataPath() const
    {
        return cacheDir().absoluteFilePath(QStringLiteral("vendor-data/a-b-vd.tar.gz"));
    }
    QString source(const QString &name) const { return m_sources.filePath(name); }

    // The image archive in the cache, its entries in the given order.
    void makeArchive(const QList<Entry> &entries)
    {
        QDir(m_sources.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_sources.path()));
        QStringList names;
        for (const Entry &entry : entries) {
            const QString path = source(entry.name);
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
            if (!entry.linkTarget.isEmpty())
                QVERIFY(QFile::link(entry.linkTarget, path));
            else if (entry.size < 0)
                QVERIFY(QDir().mkpath(path));
            else
                QVERIFY(TestFiles::writeRandom(path, entry.size));
            names.append(entry.name);
        }
        QVERIFY(QDir().mkpath(QFileInfo(archivePath()).absolutePath()));
        int code = 0;
        const QString output = run(QStringLiteral("tar"),
            QStringList {QStringLiteral("-czf"), archivePath(), QStringLiteral("--no-recursion"),
                QStringLiteral("-C"), m_sources.path()} +
                names,
            &code);
        QVERIFY2(code == 0, qPrintable(output));
    }

    void makeVendorData(qint64 size)
    {
        QVERIFY(QDir().mkpath(QFileInfo(vendorDataPath()).absolutePath()));
        QVERIFY(TestFiles::writeRandom(vendorDataPath(), size));
    }

    // Runs install() to its one outcome.
    QStringList install(bool reboot)
    {
        ResetUpdateManager manager(false, -1);
        QStringList events;
        connect(
            &manager, &ResetUpdateManager::installFinished, this,
            [&] {
                events.append(QStringLiteral("installed"));
            },
            Qt::QueuedConnection);
        connect(
            &manager, &ResetUpdateManager::error, this,
            [&](UpdateError code, const QString &details) {
                events.append(QStringLiteral("error %1 %2").arg(Enums::key(code), details));
            },
            Qt::QueuedConnection);
        manager.install(Version, reboot);
        (void)QTest::qWaitFor(
            [&] {
                return !events.isEmpty();
            },
            120000);
        // Nothing else follows.
        QTest::qWait(100);
        return events;
    }

    // Mounts the file system read-only for a look at what the installation left.
    bool inspect(const Partition &partition)
    {
        QDir().mkpath(Inspect);
        return ::mount(qPrintable(partition.device()), qPrintable(Inspect), "ext4", MS_RDONLY,
                   nullptr) == 0;
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        g_previousHandler = qInstallMessageHandler(collectMessages);
        QVERIFY(m_sources.isValid());
        QVERIFY2(QDir(PartLabels).exists(), "needs the device sandbox");
        TestFiles::Ssu ssu;
        ssu.releaseDomain = QStringLiteral("127.0.0.1:1");
        ssu.features = QStringLiteral("a, b");
        TestFiles::configure(ssu);
    }

    void init()
    {
        {
            QMutexLocker locker(&g_lock);
            g_messages.clear();
        }
        QFile::remove(Markers + QStringLiteral(".clear-device"));
        QDir(Markers + QStringLiteral(".clear-device")).removeRecursively();
        QFile::remove(Markers + QStringLiteral(".clear-device-enable-reboot"));
        QDir(cacheDir().absoluteFilePath(QStringLiteral("images"))).removeRecursively();
        QDir(cacheDir().absoluteFilePath(QStringLiteral("vendor-data"))).removeRecursively();
        TestFiles::clearRebootRequests();
    }

    void cleanup()
    {
        while (isMounted(Inspect))
            ::umount(qPrintable(Inspect));
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    // Archives of any shape end in a clear result: nothing written outside the two
    // directories, no link written as an image, nothing left half-written.
    void oddArchives_data()
    {
        QTest::addColumn<QString>("entries");
        QTest::addColumn<int>("keep"); // per cent of the archive kept
        QTest::addColumn<bool>("unpacks");
        QTest::addColumn<QStringList>("written");

        QTest::newRow("links, devices, odd names")
            << "[('b.img', 'f', 100), ('link.img', 'l', 'b.img'), ('hard.img', 'h', 'b.img'),"
               " ('fifo', 'p', 0), ('./dot.img', 'f', 3), ('/abs.img', 'f', 3),"
               " ('../escape.img', 'f', 6), ('root.img.000', 'f', 5), ('d', 'd', 0),"
               " ('d/inner.img', 'f', 5)]"
            << 100 << true
            << QStringList {"root/root.img.000", "root/system-images/abs.img",
                   "root/system-images/b.img", "root/system-images/dot.img",
                   "root/system-images/fifo"};
        QTest::newRow("file named ..") << "[('..', 'f', 6), ('a.img', 'f', 1)]" << 100 << true
                                       << QStringList {"root/system-images/a.img"};
        QTest::newRow("no image files")
            << "[('d', 'd', 0), ('l', 'l', 'x')]" << 100 << false << QStringList {};
        QTest::newRow("cut in the middle of the second file")
            << "[('root.img.000', 'f', 300000), ('b.img', 'f', 300000)]" << 60 << false
            << QStringList {"root/root.img.000"};
        QTest::newRow("empty file") << "[('a.img', 'f', 1)]" << 0 << false << QStringList {};
    }

    void oddArchives()
    {
        QFETCH(QString, entries);
        QFETCH(int, keep);
        QFETCH(bool, unpacks);
        QFETCH(QStringList, written);

        QTemporaryDir base;
        const QString archive = base.filePath(QStringLiteral("archive.tar.gz"));
        int code = 0;
        const QString output = run(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromLatin1(TarWriter), archive, entries}, &code);
        QVERIFY2(code == 0, qPrintable(output));
        QFile file(archive);
        QVERIFY(file.resize(file.size() * keep / 100));

        const QString root = base.filePath(QStringLiteral("out/root"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/system-images")));
        ImageArchive images(archive);
        QCOMPARE(
            images.open() && images.unpack(root, root + QStringLiteral("/system-images")), unpacks);

        QStringList found;
        QDirIterator it(base.filePath(QStringLiteral("out")),
            QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            found.append(it.next().mid(base.path().size() + 5));
        found.sort();
        QCOMPARE(found, written);
        QVERIFY(!QFileInfo::exists(base.filePath(QStringLiteral("escape.img"))));
    }

    void installs_data()
    {
        QTest::addColumn<bool>("super");
        QTest::addColumn<bool>("system");
        QTest::addColumn<bool>("leftoverMount");
        QTest::addColumn<bool>("vendorData");
        QTest::addColumn<bool>("reboot");

        QTest::newRow("super, vendor data, reboot") << true << false << false << true << true;
        QTest::newRow("only system, no vendor data, no reboot")
            << false << true << false << false << false;
        QTest::newRow("super before system, leftover mount")
            << true << true << true << false << true;
    }

    void installs()
    {
        QFETCH(bool, super);
        QFETCH(bool, system);
        QFETCH(bool, leftoverMount);
        QFETCH(bool, vendorData);
        QFETCH(bool, reboot);

        Partition superPartition;
        Partition systemPartition;
        Partition cache;
        if (super)
            QVERIFY(superPartition.create(QStringLiteral("super"), 24 * 1024, 16 * 1024));
        if (system)
            QVERIFY(systemPartition.create(QStringLiteral("system"), 24 * 1024, 16 * 1024));
        QVERIFY(cache.create(QStringLiteral("cache"), 3 * 1024, 0));
        const Partition &target = super ? superPartition : systemPartition;
        QCOMPARE(target.blockCount(), qint64(16384));
        if (leftoverMount)
            QCOMPARE(::mount(qPrintable(target.device()), "/fimage", "ext4", 0, nullptr), 0);

        makeArchive({{QStringLiteral("boot.img"), 300000, {}},
            {QStringLiteral("root.img.001"), 500000, {}},
            {QStringLiteral("root.img.000"), 700000, {}}, {QStringLiteral("extra"), -1, {}},
            {QStringLiteral("extra/inner.img"), 1000, {}},
            {QStringLiteral("link.img"), 0, QStringLiteral("boot.img")},
            {QStringLiteral("home.img.000"), 200000, {}}, {QStringLiteral("vendor.img"), 1, {}}});
        if (vendorData)
            makeVendorData(2 * 1024 * 1024 + 3);

        QCOMPARE(install(reboot), QStringList {QStringLiteral("installed")});
        QVERIFY(!isMounted(QStringLiteral("/fimage")));
        QCOMPARE(
            countMessages(QStringLiteral("Device not found: \"/dev/disk/by-partlabel/super\"")),
            super ? 0 : 1);
        QCOMPARE(countMessages(QStringLiteral("Device not found:")), super ? 0 : 1);
        QVERIFY(QFileInfo::exists(Markers + QStringLiteral(".clear-device")));
        QVERIFY(QFileInfo::exists(Markers + QStringLiteral(".clear-device-enable-reboot")));
        QCOMPARE(TestFiles::rebootRequests(), reboot ? 1 : 0);

        // The partition was checked and grown, and holds the top-level files by the table.
        QCOMPARE(target.blockCount(), qint64(24576));
        if (super && system)
            QCOMPARE(systemPartition.blockCount(), qint64(16384));
        QVERIFY(inspect(target));
        const QDir root(Inspect + QLatin1Char('/') + Name);
        const QDir images(root.filePath(QStringLiteral("system-images")));
        QCOMPARE(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
            QStringList({"home.img.000", "root.img.000", "root.img.001", "system-images"}));
        QCOMPARE(images.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
            QStringList({"boot.img", "vendor.img"}));
        for (const char *name : {"home.img.000", "root.img.000", "root.img.001"})
            QCOMPARE(TestFiles::md5(root.filePath(name)), TestFiles::md5(source(name)));
        for (const char *name : {"boot.img", "vendor.img"})
            QCOMPARE(TestFiles::md5(images.filePath(name)), TestFiles::md5(source(name)));

        // Vendor data lands raw at the start of the cache partition, or the partition is
        // left alone.
        const QByteArray start = cache.read(3 * 1024 * 1024);
        if (vendorData) {
            QFile file(vendorDataPath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray data = file.readAll();
            QCOMPARE(start.left(data.size()), data);
            QCOMPARE(start.mid(data.size()), QByteArray(start.size() - data.size(), '\0'));
        } else {
            QCOMPARE(start, QByteArray(3 * 1024 * 1024, '\0'));
            QCOMPARE(countMessages(QStringLiteral("vendor-data is not downloaded")), 1);
        }
    }

    // Every failure ends in one error, with nothing mounted, no device clear scheduled and no
    // reboot requested.
    void failures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("warning");

        const QString images = QStringLiteral("error IOError Failed to write update images");
        QTest::newRow("no partition") << "none" << images << "Device not found:";
        QTest::newRow("errors corrected by e2fsck")
            << "damaged" << images << "Filesystem check failed:";
        QTest::newRow("target file system full")
            << "full" << images << "Failed to copy \"root.img.000\" to";
        QTest::newRow("not an archive") << "garbage" << images << "Failed to open archive:";
        QTest::newRow("vendor data larger than its partition")
            << "vendor too large"
            << "error IOError Failed to write vendor-data"
            << "Failed to write vendor-data to partition";
        QTest::newRow("no cache partition") << "no cache"
                                            << "error IOError Failed to write vendor-data"
                                            << "Failed to open partition for writing vendor-data:";
        QTest::newRow("marker not creatable") << "marker"
                                              << "error IOError Failed to schedule device reset"
                                              << "";
    }

    void failures()
    {
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        QFETCH(QString, warning);

        Partition super;
        Partition cache;
        if (setup != QLatin1String("none")) {
            const qint64 size = setup == QLatin1String("full") ? 4 * 1024 : 24 * 1024;
            QVERIFY(super.create(QStringLiteral("super"), size, size));
        }
        if (setup != QLatin1String("no cache"))
            QVERIFY(cache.create(QStringLiteral("cache"), 1024, 0));
        if (setup == QLatin1String("damaged"))
            QVERIFY(super.damage());
        if (setup == QLatin1String("marker"))
            QVERIFY(QDir().mkpath(Markers + QStringLiteral(".clear-device")));

        // In the archive's order: three small files, one that does not fit, three more.
        const QList<Entry> entries {{QStringLiteral("s1.img"), 100000, {}},
            {QStringLiteral("s2.img"), 100000, {}}, {QStringLiteral("s3.img"), 100000, {}},
            {QStringLiteral("root.img.000"), 8 * 1024 * 1024, {}},
            {QStringLiteral("t1.img"), 100000, {}}, {QStringLiteral("t2.img"), 100000, {}},
            {QStringLiteral("t3.img"), 100000, {}}};
        if (setup == QLatin1String("full")) {
            makeArchive(entries);
        } else if (setup == QLatin1String("garbage")) {
            QVERIFY(QDir().mkpath(QFileInfo(archivePath()).absolutePath()));
            QVERIFY(TestFiles::writeRandom(archivePath(), 100000));
        } else {
            makeArchive({{QStringLiteral("boot.img"), 100000, {}}});
        }
        if (setup == QLatin1String("vendor too large") || setup == QLatin1String("no cache"))
            makeVendorData(2 * 1024 * 1024);

        QCOMPARE(install(true), QStringList {outcome});
        if (!warning.isEmpty())
            QVERIFY2(countMessages(warning) > 0, qPrintable(g_messages.join(QLatin1Char('\n'))));
        QVERIFY(!isMounted(QStringLiteral("/fimage")));
        QVERIFY(!QFileInfo::exists(Markers + QStringLiteral(".clear-device-enable-reboot")));
        QVERIFY(!QFileInfo(Markers + QStringLiteral(".clear-device")).isFile());
        QCOMPARE(TestFiles::rebootRequests(), 0);

        if (setup == QLatin1String("full")) {
            // Copied in the archive's order up to the file that did not fit, which is removed
            // rather than left truncated.
            QVERIFY(inspect(super));
            const QDir root(Inspect + QLatin1Char('/') + Name);
            const QDir images(root.filePath(QStringLiteral("system-images")));
            QCOMPARE(images.entryList(QDir::Files), QStringList({"s1.img", "s2.img", "s3.img"}));
            for (const QString &name : images.entryList(QDir::Files))
                QCOMPARE(TestFiles::md5(images.filePath(name)), TestFiles::md5(source(name)));
            QCOMPARE(root.entryList(QDir::Files), QStringList());
        }
        if (setup == QLatin1String("vendor too large")) {
            // The images were written before the vendor data failed.
            QVERIFY(inspect(super));
            QVERIFY(QFileInfo::exists(
                Inspect + QLatin1Char('/') + Name + QStringLiteral("/system-images/boot.img")));
        }
    }

    // The whole road through the daemon: check, a download killed with SIGKILL halfway and
    // resumed by the next daemon from the bytes on disk, then the installation with reboot.
    void throughTheDaemon()
    {
        ReleaseServer server;
        QVERIFY(server.start({QStringLiteral("--limit-rate"), QStringLiteral("1m")}));
        QVERIFY(QDir(server.root()).mkpath(QStringLiteral("metav2")));
        QVERIFY(TestFiles::write(
            QDir(server.root()).filePath(QStringLiteral("metav2/index.json")), ResetMetadata));
        TestFiles::Ssu ssu;
        ssu.releaseDomain = server.address();
        ssu.features = QStringLiteral("a, b");
        TestFiles::configure(ssu);
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/zovoveva")));
        QVERIFY(TestFiles::write(
            QStringLiteral("/etc/zovoveva/access-policy.conf"), "[OsUpdates]\nEnabled=true\n"));
        QFile::remove(cacheDir().absoluteFilePath(QStringLiteral("os-info.json")));

        // An archive whose transfer takes a few seconds at the server's rate.
        makeArchive({{QStringLiteral("root.img.000"), 3 * 1024 * 1024, {}},
            {QStringLiteral("boot.img"), 1024 * 1024, {}}});
        const QString served =
            QDir(server.root()).filePath(QStringLiteral("images/5.0.1.10/m1/a-b/image.tar.gz"));
        QVERIFY(QDir().mkpath(QFileInfo(served).absolutePath()));
        QVERIFY(QFile::rename(archivePath(), served));
        const qint64 size = QFileInfo(served).size();

        const auto call = [](const QString &method, const QStringList &arguments = {}) {
            const ToolResult result = BusClient::gdbus(
                QStringList {QStringLiteral("call"), QStringLiteral("--system"),
                    QStringLiteral("--dest"), BusClient::Service, QStringLiteral("--object-path"),
                    BusClient::Path, QStringLiteral("--method"),
                    BusClient::Interface + QLatin1Char('.') + method} +
                arguments);
            return result.exitCode == 0;
        };

        QScopedPointer<DaemonProcess> daemon(new DaemonProcess());
        QVERIFY2(daemon->start(), qPrintable(daemon->log()));
        BusSignal errors(QStringLiteral("Error"));
        QVERIFY(call(QStringLiteral("Check"), {QStringLiteral("latest"), QStringLiteral("true")}));
        QTRY_COMPARE_WITH_TIMEOUT(
            BusClient::property(QStringLiteral("size")).toLongLong(), size, 15000);
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(BusClient::method(), 2);

        QVERIFY(call(QStringLiteral("Download")));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(archivePath()).size() > 512 * 1024, 15000);
        daemon->kill();
        const qint64 have = QFileInfo(archivePath()).size();
        QVERIFY(have > 0 && have < size);
        QVERIFY2(errors.spy().isEmpty(), qPrintable(daemon->log()));

        // The next daemon restores the method from its cache and prepares it again.
        server.clearLog();
        daemon.reset(new DaemonProcess());
        QVERIFY2(daemon->start(), qPrintable(daemon->log()));
        QTRY_COMPARE_WITH_TIMEOUT(
            BusClient::property(QStringLiteral("size")).toLongLong(), size, 15000);
        QVERIFY(BusClient::waitForStatus(0));
        QVERIFY(call(QStringLiteral("Download")));
        QTRY_VERIFY_WITH_TIMEOUT(
            BusClient::property(QStringLiteral("isDownloaded")).toBool(), 30000);
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(TestFiles::md5(archivePath()), TestFiles::md5(served));
        QTRY_VERIFY(!server.requests().isEmpty());
        QStringList ranges;
        for (const QJsonObject &request : server.requests())
            if (request.value(QStringLiteral("method")).toString() == QLatin1String("GET"))
                ranges.append(request.value(QStringLiteral("range")).toString());
        QVERIFY2(
            !ranges.isEmpty() && ranges.first().startsWith(QStringLiteral("bytes=%1-").arg(have)),
            qPrintable(ranges.join(QLatin1Char(' '))));

        Partition super;
        QVERIFY(super.create(QStringLiteral("super"), 24 * 1024, 16 * 1024));
        QVERIFY(call(QStringLiteral("Install"), {QStringLiteral("true")}));
        QTRY_VERIFY_WITH_TIMEOUT(
            !QFileInfo::exists(cacheDir().absoluteFilePath(QStringLiteral("os-info.json"))), 60000);
        QVERIFY(BusClient::waitForStatus(0));
        QVERIFY2(errors.spy().isEmpty(), qPrintable(daemon->log()));
        QVERIFY(QFileInfo::exists(Markers + QStringLiteral(".clear-device")));
        QTRY_COMPARE(TestFiles::rebootRequests(), 1);
        QVERIFY(inspect(super));
        QCOMPARE(TestFiles::md5(Inspect + QStringLiteral("/%1/root.img.000").arg(Name)),
            TestFiles::md5(source(QStringLiteral("root.img.000"))));
        QCOMPARE(TestFiles::md5(Inspect + QStringLiteral("/%1/system-images/boot.img").arg(Name)),
            TestFiles::md5(source(QStringLiteral("boot.img"))));
    }
};

QTEST_GUILESS_MAIN(TestResetInstall)
#include "tst_resetinstall.moc"
