// The reset update manager as the service drives it, on the simulated device with its private
// cache directory, /etc, /dev/disk and system bus: where the image comes from and goes to,
// vendor data, cancelling, the device-lock chain through the platform stand-in, the installation
// onto ext4 images on loop devices with the real e2fsck, resize2fs and mount, and the daemon's
// download across a SIGKILL, a new build or a damaged archive.
#include "busclient.h"
#include "daemonprocess.h"
#include "devicecontrolmock.h"
#include "enums.h"
#include "faultserver.h"
#include "fileio.h"
#include "releaseserver.h"
#include "resetupdatemanager/resetupdatemanager.h"
#include "signalrecorder.h"
#include "ssusettings.h"
#include "util.h"

#include <nemo-devicelock/standincontrol.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

using namespace Corvane;
using Corvane::ResetUpdates::ResetUpdateManager;
using NemoDeviceLock::StandInControl;

namespace {

constexpr qint64 ImageSize = 3 * 1024 * 1024 + 17;
const QString Version = QStringLiteral("5.0.1.10");
const QString Name = QStringLiteral("a-b-5.0.1.10");
const QString Marker = QStringLiteral("/usr/share/lipstick/devicelock/.clear-device");
const QString Inspect = QStringLiteral("/tmp/inspect");
// How the manager's signals are recorded: queued, as the service's own connections, for the
// installation signals from its thread.
constexpr Qt::ConnectionType AsTheService = Qt::QueuedConnection;
// Writes a tar.gz of entries given as a Python list of (name, kind, size or target), kind
// f(ile) of random bytes, d(irectory), s(ymbolic) or h(ard) link, and prints each file's name
// with the MD5 of its data. An archive with links is made by GNU tar from real files and links,
// as a release's tooling makes it; others in GNU tar's format by Python, which can also write
// names that leave the top level.
const char *const TarWriter = R"(import ast, hashlib, io, os, subprocess, sys, tarfile, tempfile
entries = ast.literal_eval(sys.argv[2])
def data(name, size):
    content = os.urandom(size)
    print(name, hashlib.md5(content).hexdigest())
    return content
if any(kind in "sh" for _, kind, _ in entries):
    with tempfile.TemporaryDirectory() as stage:
        top = []
        for name, kind, arg in entries:
            path = os.path.join(stage, name)
            if kind == "f":
                with open(path, "wb") as file:
                    file.write(data(name, arg))
            elif kind == "d":
                os.mkdir(path)
            elif kind == "s":
                os.symlink(arg, path)
            else:
                os.link(os.path.join(stage, arg), path)
            if "/" not in name:
                top.append(name)
        subprocess.run(["tar", "-czf", sys.argv[1], "-C", stage, "--"] + top, check=True)
    sys.exit()
kinds = {"f": tarfile.REGTYPE, "d": tarfile.DIRTYPE}
with tarfile.open(sys.argv[1], "w:gz", compresslevel=1, format=tarfile.GNU_FORMAT) as archive:
    for name, kind, arg in entries:
        entry = tarfile.TarInfo(name)
        entry.type = kinds[kind]
        content = data(name, arg) if kind == "f" else b""
        entry.size = len(content)
        archive.addfile(entry, io.BytesIO(content))
)";

int run(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    const ToolResult result = BusClient::run(program, arguments, 120000);
    if (output)
        *output = result.out;
    return result.exitCode;
}

// The archive of TarWriter's entries, with the MD5 of each file by name.
[[nodiscard]] bool writeArchive(
    const QString &path, const QStringList &entries, QHash<QString, QString> *sums = nullptr)
{
    QString output;
    const QString list = QLatin1Char('[') + entries.join(QStringLiteral(", ")) + QLatin1Char(']');
    if (run(QStringLiteral("/usr/bin/python3"), {"-c", TarWriter, path, list}, &output) != 0)
        return false;
    for (const QString &line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (sums)
            sums->insert(line.section(' ', 0, 0), line.section(' ', 1));
    return true;
}

bool isMounted(const QString &path)
{
    return QStorageInfo(path).rootPath() == path;
}

// Same size, other bytes: to the downloader the file still looks complete.
[[nodiscard]] bool overwriteMiddle(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(file.size() / 2) &&
        file.write(QByteArray(4096, 'x')) == 4096;
}

// An image file attached to a loop device and linked under a partition label; all of it
// undone by the destructor.
class Partition
{
public:
    Partition() = default;
    Q_DISABLE_COPY(Partition)
    ~Partition()
    {
        if (device.isEmpty())
            return;
        QFile::remove(QStringLiteral("/dev/disk/by-partlabel/") + m_label);
        while (isMounted(QStringLiteral("/fimage")))
            ::umount("/fimage");
        run(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
        QFile::remove(m_image);
    }

    // An ext4 file system of fsKiB (none with 0) on a device of deviceKiB, so that resize2fs
    // has work.
    [[nodiscard]] bool create(const QString &label, qint64 deviceKiB, qint64 fsKiB)
    {
        m_image = qEnvironmentVariable("CORVANE_SANDBOX_STATE") + '/' + label + ".img";
        m_label = label;
        QFile::remove(m_image);
        if (run("truncate", {"-s", QStringLiteral("%1K").arg(deviceKiB), m_image}) != 0)
            return false;
        if (fsKiB > 0 && run("mkfs.ext4", {"-q", m_image, QStringLiteral("%1k").arg(fsKiB)}) != 0)
            return false;
        if (run("losetup", {"--find", "--show", m_image}, &device) != 0)
            return false;
        device = device.trimmed();
        return run("ln", {"-sf", device, QStringLiteral("/dev/disk/by-partlabel/") + label}) == 0;
    }

    qint64 blockCount() const
    {
        QString header;
        run(QStringLiteral("dumpe2fs"), {QStringLiteral("-h"), device}, &header);
        return QRegularExpression("Block count: *([0-9]+)").match(header).captured(1).toLongLong();
    }

    // Mounts the file system read-only at Inspect for a look at what the installation left.
    [[nodiscard]] bool inspect() const
    {
        QDir().mkpath(Inspect);
        return ::mount(qPrintable(device), qPrintable(Inspect), "ext4", MS_RDONLY, nullptr) == 0;
    }

    QString device;

private:
    QString m_image;
    QString m_label;
};

} // namespace

class TestResetUpdateManager : public QObject
{
    Q_OBJECT

private:
    ReleaseServer m_nginx;
    ReleaseServer m_slow;
    FaultServer m_faults;
    QString m_image;

    QString imagesDir() const { return cacheDir().absoluteFilePath(QStringLiteral("images")); }
    QString vendorFile() const
    {
        return cacheDir().absoluteFilePath(QStringLiteral("vendor-data/a-b-vd.tar.gz"));
    }
    QString archive() const { return QDir(imagesDir()).filePath(Name + QStringLiteral(".tar.gz")); }

    void configure(const QString &domain, const QString &model = QStringLiteral("m1"),
        const QString &features = QStringLiteral("a, b"))
    {
        SsuSettings ssu(domain);
        ssu.model = model;
        ssu.features = features;
        ssu.write();
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(m_nginx.start());
        QVERIFY(m_slow.start({QStringLiteral("--limit-rate"), QStringLiteral("256k")}));
        QVERIFY(m_faults.start());
        m_image = QDir(m_slow.root()).filePath(QStringLiteral("image.tar.gz"));
        QVERIFY(writeRandomFile(m_image, ImageSize));
        for (const QString &root : {m_nginx.root(), m_slow.root()}) {
            for (const char *dir : {"a-b", "Store-vendor_apps"}) {
                const QString path = QDir(root).filePath(
                    QStringLiteral("images/5.0.1.10/m1/%1/image.tar.gz").arg(dir));
                QVERIFY(QDir().mkpath(QFileInfo(path).path()));
                QVERIFY(QFile::copy(m_image, path));
            }
        }
        QVERIFY(writeRandomFile(QDir(m_slow.root()).filePath("vd.tar.gz"), 2 * 1024 * 1024 + 5));
    }

    void init()
    {
        QDir(imagesDir()).removeRecursively();
        QDir(QFileInfo(vendorFile()).path()).removeRecursively();
        QFile::remove(Marker);
        QDir(Marker).removeRecursively();
        QFile::remove(Marker + QStringLiteral("-enable-reboot"));
        DeviceControlMock::clear();
        m_nginx.clearLog();
        StandInControl::reset();
        configure(m_nginx.address());
    }

    void cleanup()
    {
        while (isMounted(Inspect))
            ::umount(qPrintable(Inspect));
    }

    // The image URL and the file name follow the SSU configuration; without any of its parts
    // there is no URL and nothing is fetched.
    void imageUrlAndFile_data()
    {
        QTest::addColumn<bool>("domain");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("features");
        QTest::addColumn<QString>("dir"); // in the URL and the file name; empty: no URL
        const auto row = [](const char *name, bool domain, const char *version, const char *model,
                             const char *features, const char *dir) {
            QTest::newRow(name) << domain << QString(version) << QString(model) << QString(features)
                                << QString(dir);
        };
        row("a-b", true, "5.0.1.10", "m1", "a, b", "a-b");
        row("features sorted, blanks become underscores", true, "5.0.1.10", "m1",
            "vendor apps, Store", "Store-vendor_apps");
        row("no features", true, "5.0.1.10", "m1", "", "");
        row("no version", true, "", "m1", "a", "");
        row("no model", true, "5.0.1.10", "", "a", "");
        row("no release domain", false, "5.0.1.10", "m1", "a", "");
    }

    void imageUrlAndFile()
    {
        QFETCH(bool, domain);
        QFETCH(QString, version);
        QFETCH(QString, model);
        QFETCH(QString, features);
        QFETCH(QString, dir);

        configure(domain ? m_nginx.address() : QString(), model, features);
        ResetUpdateManager manager(false, -1);
        SignalRecorder recorder(&manager, AsTheService);
        manager.prepare(version);
        QVERIFY(recorder.waitForEvents(1));
        if (dir.isEmpty()) {
            QCOMPARE(recorder.events, QStringList {"error InternalError Invalid URL: "});
            QTest::qWait(100);
            QVERIFY(m_nginx.requests().isEmpty());
            return;
        }
        QCOMPARE(
            recorder.events, QStringList {QStringLiteral("prepareFinished %1 0").arg(ImageSize)});
        manager.download(version);
        QVERIFY(recorder.waitForEvents(2));
        QCOMPARE(recorder.events.last(), QStringLiteral("downloadFinished"));
        QCOMPARE(recorder.progress.last(), (QVariantList {100, ImageSize}));

        const QString file = QStringLiteral("%1-%2.tar.gz").arg(dir, version);
        QCOMPARE(md5(QDir(imagesDir()).filePath(file)), md5(m_image));
        QTRY_COMPARE(m_nginx.requests().size(), 2);
        for (const QJsonObject &request : m_nginx.requests())
            QCOMPARE(request.value("uri").toString(),
                QStringLiteral("/images/%1/%2/%3/image.tar.gz").arg(version, model, dir));
    }

    // Vendor data, as the reset update manager fetches it: no size report, no progress, its own
    // end signal and file, which follows its URL. Another URL than the one its bytes came from
    // fetches the new file from the first byte, whatever the sizes; the same URL resumes. A
    // failure leaves an earlier file alone.
    void vendorData_data()
    {
        // FAULTS/NAME on the fault server; the first may instead be the bytes of a file of
        // unknown origin, or nothing.
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("resumes");

        QTest::newRow("no file yet") << ""
                                     << "plain/vd1.bin" << false;
        QTest::newRow("same URL resumes") << "drop=700000/vd1.bin"
                                          << "drop=700000/vd1.bin" << true;
        QTest::newRow("other URL, same size") << "plain/vd1.bin"
                                              << "plain/vd2.bin" << false;
        // Nothing but the URL tells these two apart.
        QTest::newRow("other URL, same size, no validators") << "no-validators/vd1.bin"
                                                             << "no-validators/vd2.bin" << false;
        QTest::newRow("other URL, smaller file") << "plain/vd1.bin"
                                                 << "plain/vd3.bin" << false;
        QTest::newRow("other URL after a cut") << "drop=900000/vd1.bin"
                                               << "plain/vd2.bin" << false;
        QTest::newRow("not found") << "earlier"
                                   << "plain/none.bin" << false;
    }

    void vendorData()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, resumes);

        const QString file = vendorFile();
        const QList<QPair<QString, qint64>> files {
            {"vd1.bin", 2 * 1024 * 1024}, {"vd2.bin", 2 * 1024 * 1024}, {"vd3.bin", 1024 * 1024}};
        for (const auto &served : files)
            QVERIFY(publish(QDir(m_faults.root()).filePath(served.first), served.second));
        const auto url = [this](const QString &location) {
            return m_faults.url(
                location.section(QLatin1Char('/'), 1), location.section(QLatin1Char('/'), 0, 0));
        };

        ResetUpdateManager manager(false, -1);
        SignalRecorder recorder(&manager, AsTheService);
        if (first.contains(QLatin1Char('/'))) {
            manager.downloadVendorData(url(first));
            QVERIFY(recorder.waitForEvents());
        } else if (!first.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(file).path()));
            writeFile(file, first.toUtf8());
        }
        const QByteArray before = readFile(file);
        QCOMPARE(before.isEmpty(), first.isEmpty());

        recorder.events.clear();
        m_faults.clearLog();
        manager.downloadVendorData(url(second));
        QVERIFY(recorder.waitForEvents());
        QTest::qWait(100);
        QVERIFY(recorder.progress.isEmpty());
        const QString served = QDir(m_faults.root()).filePath(second.section('/', 1));
        if (!QFileInfo::exists(served)) {
            QCOMPARE(recorder.events.size(), 1);
            QVERIFY2(recorder.last().startsWith("error NetworkError"), qPrintable(recorder.last()));
            QCOMPARE(readFile(file), before);
            return;
        }
        QCOMPARE(recorder.events, QStringList {"downloadVendorDataFinished"});
        QCOMPARE(md5(file), md5(served));
        QCOMPARE(gets(m_faults.requests()).value(0).section('-', 0, 0),
            QStringLiteral("bytes=%1").arg(resumes ? before.size() : 0));
    }

    void cancelDownload()
    {
        configure(m_slow.address());
        ResetUpdateManager manager(false, -1);
        SignalRecorder recorder(&manager, AsTheService);
        manager.prepare(Version);
        QVERIFY(recorder.waitForEvents(1));
        manager.download(Version);
        QTRY_VERIFY(!recorder.progress.isEmpty());
        manager.cancelDownload();
        QVERIFY(recorder.waitForEvents(2));
        QCOMPARE(recorder.events.last(), QStringLiteral("downloadCancelled"));

        manager.downloadVendorData(m_slow.url(QStringLiteral("vd.tar.gz")));
        QTRY_VERIFY(QFileInfo(vendorFile()).size() > 0);
        manager.cancelDownload();
        QVERIFY(recorder.waitForEvents(3));
        QCOMPARE(recorder.events.last(), QStringLiteral("downloadVendorDataCancelled"));
    }

    // A challenge issued by the device lock runs authentication and the device clear; its end
    // is the installation's end, with the reboot request.
    void deviceLockChain_data()
    {
        QTest::addColumn<QString>("fails"); // what the device lock refuses
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("outcome");

        const QString authenticate = QStringLiteral("authenticate(c0de, 5)");
        const QString clear = QStringLiteral("clearDevice(token:c0de, 1)");
        const QString failed = QStringLiteral("error %1 Failed to %2");
        const auto row = [](const char *name, const char *fails, const QStringList &calls,
                             const QString &outcome) {
            QTest::newRow(name) << QString(fails) << calls << outcome;
        };
        row("cleared", "", {authenticate, clear}, "installFinished");
        row("challenge declined", "challenge", {},
            failed.arg("AuthenticationError", "issue authorization challenge for device reset"));
        row("authentication aborted", "authentication", {authenticate},
            failed.arg("AuthenticationError", "authenticate for device reset"));
        row("clear failed", "clear", {authenticate, clear},
            failed.arg("InternalError", "reset device"));
    }

    void deviceLockChain()
    {
        QFETCH(QString, fails);
        QFETCH(QStringList, calls);
        QFETCH(QString, outcome);

        ResetUpdateManager manager(false, -1);
        SignalRecorder recorder(&manager, AsTheService);
        StandInControl::setAuthenticationSucceeds(fails != QLatin1String("authentication"));
        StandInControl::setClearDeviceSucceeds(fails != QLatin1String("clear"));
        if (fails == QLatin1String("challenge"))
            StandInControl::declineChallenge();
        else
            StandInControl::issueChallenge(QStringLiteral("c0de"),
                NemoDeviceLock::Authenticator::SecurityCode |
                    NemoDeviceLock::Authenticator::Confirmation);
        QVERIFY(recorder.waitForEvents(1));
        QCOMPARE(recorder.events, QStringList {outcome});
        QCOMPARE(StandInControl::calls(), calls);
        QCOMPARE(DeviceControlMock::rebootRequests(),
            outcome == QLatin1String("installFinished") ? 1 : 0);
    }

    // The images land on super (or system when there is no super), checked and grown first, by
    // the table; vendor data raw on the cache partition; then the markers and, if asked, the
    // reboot. Every failure ends in one error, with nothing mounted, no device clear scheduled
    // and no reboot requested.
    void install_data()
    {
        // Flags, and links for the archive: "a->b" a symbolic link a to b, "a=>b" a hard link.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("outcome"); // the events, separated by " | "

        const QString images = QStringLiteral("error IOError Failed to write update images");
        const QString vendor = QStringLiteral("error IOError Failed to write vendor-data");
        // The damaged archive is removed and the download forgotten.
        const QString damaged = QStringLiteral("downloadCancelled | ") + images;
        const auto row = [](const char *name, const char *setup, const QString &outcome) {
            QTest::newRow(name) << QString(setup) << outcome;
        };
        row("super, vendor data, reboot", "super cache vendor reboot", "installFinished");
        row("only system, no vendor data, no reboot", "system cache", "installFinished");
        row("super before system, leftover mount", "super system cache leftover reboot",
            "installFinished");
        row("no partition", "cache", images);
        row("errors corrected by e2fsck", "super cache damaged", images);
        row("target file system full", "small-super cache", images);
        row("no image files", "super cache no-images", images);
        row("archive cut short", "super cache cut", damaged);
        row("compressed data overwritten", "super cache overwritten", damaged);
        row("gzip trailer missing, all entries whole", "super cache no-trailer", damaged);
        row("no archive at all", "super cache garbage", damaged);
        row("entry shorter than its header, gzip whole", "super cache short-entry", damaged);
        // The partition gets copies; any link that leads to no top-level file fails the
        // install, with a warning naming the link and its target.
        row("symbolic and hard links to top-level files",
            "super cache sym.img->boot.img dot.img->./boot.img chain.img->sym.img "
            "root.img.002->root.img.001 hard.img=>vendor.img home.img.001=>home.img.000",
            "installFinished");
        row("absolute link", "super cache abs.img->/boot.img", images);
        row("link out of the top level", "super cache up.img->../boot.img", images);
        row("dangling link", "super cache none.img->missing.img", images);
        row("link to a directory", "super cache dir.img->d", images);
        row("link to itself", "super cache self.img->self.img", images);
        row("links in a circle", "super cache a.img->b.img b.img->a.img", images);
        row("symbolic link into a directory", "super cache in.img->d/inner.img", images);
        row("hard link into a directory", "super cache in.img=>d/inner.img", images);
        row("only links", "super cache only-links sym.img->boot.img", images);
        row("vendor data larger than its partition", "super cache big-vendor", vendor);
        // What the downloader's record says is missing: vendor data is left out, the archive
        // is not installed.
        row("vendor data partly downloaded", "super cache vendor partial-vendor",
            "installFinished");
        row("archive partly downloaded", "super cache partial",
            "error InternalError Update is not downloaded");
        row("no cache partition", "super vendor", vendor);
        row("marker not creatable", "super cache vendor marker",
            "error IOError Failed to schedule device reset");
    }

    void install()
    {
        QFETCH(QString, setup);
        QFETCH(QString, outcome);
        const QStringList flags = setup.split(QLatin1Char(' '));
        const QStringList expectedEvents = outcome.split(QStringLiteral(" | "));

        Partition super;
        Partition system;
        Partition cache;
        if (flags.contains("super"))
            QVERIFY(super.create(QStringLiteral("super"), 24 * 1024, 16 * 1024));
        if (flags.contains("small-super"))
            QVERIFY(super.create(QStringLiteral("super"), 4 * 1024, 4 * 1024));
        if (flags.contains("system"))
            QVERIFY(system.create(QStringLiteral("system"), 24 * 1024, 16 * 1024));
        if (flags.contains("cache"))
            QVERIFY(cache.create(QStringLiteral("cache"), 3 * 1024, 0));
        const Partition &target = super.device.isEmpty() ? system : super;
        if (flags.contains("leftover"))
            QCOMPARE(::mount(qPrintable(target.device), "/fimage", "ext4", 0, nullptr), 0);
        // Leaves an error that e2fsck -p corrects (exit code 1).
        if (flags.contains("damaged"))
            QCOMPARE(run("debugfs", {"-w", "-R", "sif <2> links_count 7", super.device}), 0);
        if (flags.contains("marker"))
            QVERIFY(QDir().mkpath(Marker));
        if (flags.contains("vendor") || flags.contains("big-vendor")) {
            QVERIFY(QDir().mkpath(QFileInfo(vendorFile()).path()));
            const qint64 size = flags.contains("vendor") ? 2 * 1024 * 1024 + 3 : 4 * 1024 * 1024;
            QVERIFY(writeRandomFile(vendorFile(), size));
            if (flags.contains("partial-vendor")) {
                writeFile(vendorFile() + ".origin",
                    QByteArray::number(size + 1).prepend("{\"size\": ") + "}");
                QTest::ignoreMessage(
                    QtWarningMsg, QRegularExpression("vendor-data is not completely downloaded"));
            }
        }

        QVERIFY(QDir().mkpath(imagesDir()));
        // In the archive's order; root.img.000 does not fit on the small partition. Each hard
        // link follows the file it shares, as GNU tar writes them.
        QStringList entries;
        QList<QPair<QString, QString>> linkList; // name, target
        QStringList links;
        for (const QString &link : flags.filter(QRegularExpression(QStringLiteral("[-=]>")))) {
            const QStringList parts = link.split(QRegularExpression(QStringLiteral("[-=]>")));
            linkList.append({parts.at(0), parts.at(1)});
            links.append(QStringLiteral("('%1', '%2', '%3')")
                             .arg(parts.at(0), link.contains("=>") ? "h" : "s", parts.at(1)));
        }
        if (flags.contains("no-images"))
            entries.append("('d', 'd', 0), ('d/inner.img', 'f', 5)");
        else if (!flags.contains("only-links"))
            entries.append("('boot.img', 'f', 300000), ('root.img.001', 'f', 500000), "
                           "('root.img.000', 'f', 8388608), ('d', 'd', 0), ('d/inner.img', 'f', "
                           "5), ('home.img.000', 'f', 200000), ('vendor.img', 'f', 1)");
        // GNU tar cannot write a name that leaves the top level; the archives without links
        // carry one, which the install must not follow.
        if (links.isEmpty() && !flags.contains("no-images"))
            entries.append("('../escape.img', 'f', 6)");
        entries += links;
        QHash<QString, QString> sums;
        QVERIFY(writeArchive(archive(), entries, &sums));
        const qint64 archiveSize = QFileInfo(archive()).size();
        if (flags.contains("cut") || flags.contains("no-trailer"))
            QVERIFY(
                QFile(archive()).resize(flags.contains("cut") ? archiveSize / 2 : archiveSize - 8));
        if (flags.contains("overwritten"))
            QVERIFY(overwriteMiddle(archive()));
        // The tar stream ends 2 MiB in, inside root.img.000, and is compressed anew.
        if (flags.contains("short-entry"))
            QCOMPARE(run("sh",
                         {"-c",
                             "gzip -dc \"$0\" | head -c 2097152 | gzip -1 >\"$0.cut\" && mv "
                             "\"$0.cut\" \"$0\"",
                             archive()}),
                0);
        if (flags.contains("garbage"))
            QVERIFY(writeRandomFile(archive(), archiveSize));
        if (flags.contains("partial"))
            writeFile(archive() + ".origin",
                QByteArray::number(archiveSize + 1).prepend("{\"size\": ") + "}");
        if (!linkList.isEmpty() && outcome != QLatin1String("installFinished")) {
            QTest::ignoreMessage(QtWarningMsg,
                QRegularExpression(QRegularExpression::escape(
                    QStringLiteral("Link \"%1\" to \"%2\"")
                        .arg(linkList.first().first, linkList.first().second))));
        }

        ResetUpdateManager manager(false, -1);
        SignalRecorder recorder(&manager, AsTheService);
        manager.install(Version, flags.contains("reboot"));
        QVERIFY(recorder.waitForEvents(1, 120000));
        QTest::qWait(100);
        QCOMPARE(recorder.events, expectedEvents);
        const bool installed = outcome == QLatin1String("installFinished");
        QCOMPARE(QFileInfo::exists(archive()),
            !expectedEvents.contains(QStringLiteral("downloadCancelled")));
        QVERIFY(!isMounted(QStringLiteral("/fimage")));
        QCOMPARE(QFileInfo(Marker).isFile(), installed);
        QCOMPARE(QFileInfo::exists(Marker + QStringLiteral("-enable-reboot")), installed);
        QCOMPARE(
            DeviceControlMock::rebootRequests(), installed && flags.contains("reboot") ? 1 : 0);

        // The top-level files by the table, each link a regular file holding the data of the
        // file it leads to, and nothing else of the archive. On the small partition the files
        // up to the one that did not fit, which is removed rather than left truncated.
        if (!installed && !flags.contains("small-super"))
            return;
        for (const auto &link : qAsConst(linkList))
            sums.insert(link.first, sums.value(QDir::cleanPath(link.second)));
        if (!installed)
            sums = {
                {"boot.img", sums.value("boot.img")}, {"root.img.001", sums.value("root.img.001")}};
        QStringList expected {"lost+found dir", Name + " dir", Name + "/system-images dir"};
        for (auto file = sums.cbegin(); file != sums.cend(); ++file) {
            const bool root = file.key().contains(QRegularExpression("^(root|home)\\.img\\."));
            if (!file.key().contains(QLatin1Char('/')))
                expected.append(
                    QStringLiteral("%1/%2%3 %4")
                        .arg(Name, root ? "" : "system-images/", file.key(), file.value()));
        }
        QVERIFY(target.inspect());
        QStringList found;
        QDirIterator entry(Inspect, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
            QDirIterator::Subdirectories);
        while (entry.hasNext()) {
            const QFileInfo info(entry.next());
            const QString kind = info.isSymLink() ? "link"
                : info.isDir()                    ? "dir"
                                                  : md5(info.filePath());
            found.append(info.filePath().mid(Inspect.size() + 1) + ' ' + kind);
        }
        found.sort();
        expected.sort();
        QCOMPARE(found, expected);
        if (!installed)
            return;
        QCOMPARE(target.blockCount(), qint64(24576));
        if (flags.contains("system") && flags.contains("super"))
            QCOMPARE(system.blockCount(), qint64(16384));

        // Vendor data at the start of the cache partition, or the partition left alone.
        QFile partition(cache.device);
        QVERIFY(partition.open(QIODevice::ReadOnly));
        QByteArray expectedData(3 * 1024 * 1024, '\0');
        QFile file(vendorFile());
        if (!flags.contains("partial-vendor") && file.open(QIODevice::ReadOnly))
            expectedData.replace(0, int(file.size()), file.readAll());
        QVERIFY(partition.read(expectedData.size()) == expectedData);
    }

    // The daemon's download of the image when something comes between it and the install: a
    // SIGKILL halfway, after which the next daemon restores the method from its cache, prepares
    // it again and Download goes on from the bytes on disk; the same with another build of the
    // same size published meanwhile, which that size query notices, so the file starts over; or
    // the complete archive damaged on disk, which the failed install removes and forgets, on the
    // bus and in the cache. Each time the next Download fetches a byte-identical copy.
    void interruptedDownload_data()
    {
        QTest::addColumn<QString>("interruption");
        QTest::newRow("SIGKILL halfway") << "kill";
        QTest::newRow("SIGKILL, another build while down") << "republish";
        QTest::newRow("SIGKILL, a larger build while down") << "republish-larger";
        QTest::newRow("archive damaged after the download") << "damage";
    }

    void interruptedDownload()
    {
        QFETCH(QString, interruption);
        const bool killed = interruption != QLatin1String("damage");
        ReleaseServer server;
        QVERIFY(server.start({"--limit-rate", killed ? "512k" : "0", "--log-header", "If-Range"}));
        // Version 5.0.1.10 of model m1 by the reset method only.
        server.serve(QStringLiteral("metav2"),
            R"({"devices": [{"device": "m1", "latestRelease": "5.0.1.10", "releases":
            [{"version": "5.0.1.10", "updateMethods": [{"method": "Reset"}]}]}]})");
        configure(server.address());
        QFile::remove(cacheDir().absoluteFilePath(QStringLiteral("os-info.json")));
        const QString served = server.root() + "/images/5.0.1.10/m1/a-b/image.tar.gz";
        QVERIFY(QDir().mkpath(QFileInfo(served).path()));
        if (killed)
            QVERIFY(publish(served, 1024 * 1024));
        else
            QVERIFY(writeArchive(
                served, {"('boot.img', 'f', 300000), ('root.img.000', 'f', 2000000)"}));
        qint64 size = QFileInfo(served).size();
        QScopedPointer<DaemonProcess> daemon;
        // A new daemon, idle with the image's size announced, by Check or from its cache.
        const auto startDaemon = [&](bool check) {
            daemon.reset(new DaemonProcess());
            QVERIFY2(daemon->start(), qPrintable(daemon->log()));
            QVERIFY(!check || BusClient::callMethod("Check", {"latest", "true"}));
            QTRY_COMPARE_WITH_TIMEOUT(BusClient::property("size").toLongLong(), size, 15000);
            QVERIFY(BusClient::waitForStatus(0));
        };
        const auto download = [&] {
            QVERIFY(BusClient::callMethod(QStringLiteral("Download")));
            QTRY_VERIFY_WITH_TIMEOUT(BusClient::property("isDownloaded").toBool(), 30000);
            QVERIFY(BusClient::waitForStatus(0));
            QCOMPARE(md5(archive()), md5(served));
        };
        Partition super;
        if (!killed)
            QVERIFY(super.create(QStringLiteral("super"), 24 * 1024, 16 * 1024));
        BusSignal errors(QStringLiteral("Error"));
        startDaemon(true);

        qint64 have = 0;
        if (killed) {
            QVERIFY(BusClient::callMethod(QStringLiteral("Download")));
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(archive()).size() > 64 * 1024, 15000);
            daemon->kill();
            have = QFileInfo(archive()).size();
            QVERIFY(have < size);
            if (interruption.startsWith(QLatin1String("republish"))) {
                // Cleared once the killed daemon's request is in it.
                QTRY_COMPARE(ifRanges(server.requests()).size(), 1);
                server.clearLog();
                if (interruption.endsWith(QLatin1String("larger")))
                    size += 64 * 1024;
                QVERIFY(publish(served, size));
                have = 0;
            }
            startDaemon(false);
            QCOMPARE(QFileInfo(archive()).size(), have);
        } else {
            download();
            QVERIFY(overwriteMiddle(archive()));
            server.clearLog();
            QVERIFY(BusClient::callMethod(QStringLiteral("Install"), {QStringLiteral("false")}));
            QVERIFY(errors.spy().wait(60000));
            QCOMPARE(errors.spy().first().first().toList().at(1).toString(),
                QStringLiteral("Failed to write update images"));
            QVERIFY(BusClient::waitForStatus(0));
            QVERIFY(!QFileInfo::exists(archive()));
            QVERIFY(!QFileInfo::exists(Marker));
            QCOMPARE(BusClient::property("isDownloaded"), QVariant(false));
            const QByteArray cache = readFile(cacheDir().absoluteFilePath("os-info.json"));
            QCOMPARE(QJsonDocument::fromJson(cache)["methods"][0]["info"]["isDownloaded"],
                QJsonValue(false));
        }
        download();
        // The killed daemon's request from 0 may show in the log only now.
        const QString rest = QStringLiteral("bytes=%1-%2").arg(have).arg(size);
        if (interruption.startsWith(QLatin1String("republish"))) {
            QTRY_COMPARE(gets(server.requests()), QStringList {rest});
            QVERIFY(!ifRanges(server.requests()).first().isEmpty());
        } else {
            QTRY_VERIFY2(gets(server.requests()).contains(rest),
                qPrintable(gets(server.requests()).join(' ')));
        }
        if (!killed) {
            QVERIFY(BusClient::callMethod(QStringLiteral("Install"), {QStringLiteral("false")}));
            QVERIFY(BusClient::waitForStatus(0, 60000));
            QCOMPARE(errors.spy().size(), 1);
            QVERIFY(QFileInfo(Marker).isFile());
        }
    }
};

QTEST_GUILESS_MAIN(TestResetUpdateManager)
#include "tst_resetupdatemanager.moc"
