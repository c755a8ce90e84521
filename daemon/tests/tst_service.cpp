// The service object in-process, inside the simulated device: its cache file, the rules of a
// finished check, and what it refuses.
#include "enums.h"
#include "fileio.h"
#include "service.h"
#include "util.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace Corvane;
using Method = Enums::Method;
using Status = Enums::Status;
using UpdateError = Enums::UpdateError;

namespace {

const QByteArray TwoMethods = R"({"methods": [
    {"method": 1, "info": {"version": "4.1.0", "lastChecked": 1700000000000}},
    {"method": 2, "info": {"version": "4.2.0", "lastChecked": 1700000000000}}]})";

QString cacheFile()
{
    return cacheDir().absoluteFilePath(QStringLiteral("os-info.json"));
}

// A cache file holding the package method at 4.1.0, with more facts about it.
QByteArray packageUpdate(const QByteArray &facts = {})
{
    return R"({"methods": [{"method": 1, "info": {"version": "4.1.0", "lastChecked": 1)" + facts +
        "}}]}";
}

void plantCache(const QByteArray &content, uid_t owner = 0, gid_t group = 0)
{
    writeFile(cacheFile(), content);
    QCOMPARE(::chown(QFile::encodeName(cacheFile()).constData(), owner, group), 0);
}

// The battery's charge in percent; -1 for a device without a battery value.
void setBattery(int capacity)
{
    QDir(QStringLiteral("/sys/class/power_supply")).removeRecursively();
    QDir().mkpath(QStringLiteral("/sys/class/power_supply/BAT0"));
    if (capacity < 0)
        return;
    writeFile(QStringLiteral("/sys/class/power_supply/BAT0/type"), "Battery\n");
    writeFile(QStringLiteral("/sys/class/power_supply/BAT0/capacity"),
        QByteArray::number(capacity) + '\n');
}

QList<int> sorted(const MethodList &methods)
{
    QList<int> result;
    for (Method method : methods)
        result.append(static_cast<int>(method));
    std::sort(result.begin(), result.end());
    return result;
}

// Preparing a restored or found method ends from the event loop; wait for the service to rest.
void settle(Service &service)
{
    QTRY_COMPARE(service.status(), Status::Idle);
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Enums::registerTypes(); }

    void init()
    {
        QFile::remove(cacheFile());
        setBattery(-1);
    }

    void restoresCache_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<uint>("owner");
        QTest::addColumn<uint>("group");
        QTest::addColumn<QList<int>>("restored");

        // Identities of the simulated device: 2003 "carol" (group "users"), 996 "privileged".
        QTest::newRow("root:users") << TwoMethods << 0u << 100u << QList<int> {1, 2};
        QTest::newRow("carol:privileged") << TwoMethods << 2003u << 996u << QList<int> {1, 2};
        QTest::newRow("planted by carol:users") << TwoMethods << 2003u << 100u << QList<int>();
        QTest::newRow("later element replaces earlier")
            << QByteArray(TwoMethods).replace("\"method\": 2", "\"method\": 1") << 0u << 0u
            << QList<int> {1};
        QTest::newRow("not JSON") << QByteArray("{\"methods\": [") << 0u << 0u << QList<int>();
        QTest::newRow("methods is an object")
            << QByteArray("{\"methods\": {\"method\": 1}}") << 0u << 0u << QList<int>();
        QTest::newRow("members of wrong types")
            << QByteArray(R"({"methods": [{"method": "2", "info": {"version": 5, "size": "big",
                "packagesToRemove": "a", "lastChecked": 1e300}}]})")
            << 0u << 0u << QList<int> {0};
        QTest::newRow("huge method number")
            << packageUpdate().replace("\"method\": 1", "\"method\": 1e30") << 0u << 0u
            << QList<int> {0};
    }

    void restoresCache()
    {
        QFETCH(QByteArray, content);
        QFETCH(uint, owner);
        QFETCH(uint, group);
        QFETCH(QList<int>, restored);

        plantCache(content, owner, group);
        Service service(false, false);
        QCOMPARE(sorted(service.supportedMethods()), restored);
        // The first supported method is selected; a value that names no method is refused.
        const bool selectable = restored.value(0) > 0;
        QCOMPARE(
            service.method(), selectable ? service.supportedMethods().first() : Method::Unknown);
        settle(service);
        // Only a planted file is removed; a broken one of ours is simply not used.
        QCOMPARE(QFile::exists(cacheFile()), owner == 0 || group == 996);
    }

    // The rules of a finished check against what the service already knows.
    void checkResults_data()
    {
        QTest::addColumn<MethodVersions>("found");
        QTest::addColumn<bool>("keepsDownload");

        QTest::newRow("same version keeps the download")
            << MethodVersions {{Method::PackageUpdate, "4.1.0"}} << true;
        QTest::newRow("new version resets it")
            << MethodVersions {{Method::PackageUpdate, "4.2.0"}} << false;
        QTest::newRow("method gone, another found")
            << MethodVersions {{Method::ResetUpdate, "4.1.0"}} << false;
        QTest::newRow("nothing found clears everything") << MethodVersions() << false;
    }

    void checkResults()
    {
        QFETCH(MethodVersions, found);
        QFETCH(bool, keepsDownload);

        plantCache(
            packageUpdate(R"(, "isDownloaded": true, "size": 1000, "downloadedSize": 1000)"));
        Service service(false, false);
        settle(service);
        QVERIFY(service.isDownloaded());

        QSignalSpy errors(&service, &Service::Error);
        // Delivered as the metadata manager's finished signal would deliver it.
        QVERIFY(QMetaObject::invokeMethod(
            &service, "onCheckFinished", QGenericArgument("QHash<Enums::Method,QString>", &found)));
        QCOMPARE(sorted(service.supportedMethods()), sorted(found.keys()));
        QCOMPARE(service.method(), found.isEmpty() ? Method::Unknown : found.keys().first());
        QCOMPARE(service.version(), found.value(service.method()));
        QCOMPARE(service.isDownloaded(), keepsDownload);
        QCOMPARE(service.size(), keepsDownload ? 1000 : -1);
        settle(service);
        QCOMPARE(QFile::exists(cacheFile()), !found.isEmpty());
        if (found.isEmpty())
            QCOMPARE(errors.count(), 0);
    }

    // Another URL's vendor data counts as not downloaded from the call on, whatever the file on
    // disk still holds, and stays so when its download fails; the same URL keeps the flag.
    void vendorDataUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("downloaded");

        QTest::newRow("same URL") << "https://127.0.0.1:9/vd.tar.gz" << true;
        QTest::newRow("other URL") << "https://127.0.0.1:9/other.tar.gz" << false;
    }

    void vendorDataUrl()
    {
        QFETCH(QString, url);
        QFETCH(bool, downloaded);

        // Not a raw string: moc would take its "//" for a comment.
        plantCache("{\"methods\": [{\"method\": 2, \"info\": {\"version\": \"4.1.0\", "
                   "\"lastChecked\": 1, \"vendorDataUrl\": \"https://127.0.0.1:9/vd.tar.gz\", "
                   "\"isVendorDataDownloaded\": true}}]}");
        Service service(false, false);
        settle(service);
        QVERIFY(service.isVendorDataDownloaded());
        QSignalSpy errors(&service, &Service::Error);
        service.DownloadVendorData(url);
        QCOMPARE(service.isVendorDataDownloaded(), downloaded);
        // Nothing listens there: the download fails.
        QVERIFY(errors.wait(30000));
        settle(service);
        QCOMPARE(service.vendorDataUrl(), url);
        QCOMPARE(service.isVendorDataDownloaded(), downloaded);
    }

    // The operations' own checks, in order. A refusal is one Error, with the row's name as its
    // text, and changes nothing.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("cache");
        QTest::addColumn<int>("battery");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("method");
        QTest::addColumn<UpdateError>("error");

        const UpdateError internal = UpdateError::InternalError;
        const QByteArray pkg = packageUpdate();
        const QByteArray small = packageUpdate(R"(, "isDownloaded": true, "installSize": 1)");
        const QByteArray huge = packageUpdate(R"(, "isDownloaded": true, "installSize": 1e15)");
        QTest::newRow("Update method is not set")
            << QByteArray() << -1 << "Download" << 0 << internal;
        QTest::newRow("There are no supported methods, currenlty")
            << QByteArray() << -1 << "SetMethod" << 0 << internal;
        QTest::newRow("Method is not supported") << pkg << -1 << "SetMethod" << 2 << internal;
        QTest::newRow("OS update is not downloaded") << pkg << 100 << "Install" << 0 << internal;
        QTest::newRow("Not enough disk space for OS update")
            << huge << 5 << "Install" << 0 << UpdateError::LowDisk;
        QTest::newRow("Battery charge is too low for OS update")
            << small << 29 << "Install" << 0 << UpdateError::LowBattery;
        QTest::newRow("battery 30 is enough")
            << small << 30 << "Install" << 0 << UpdateError::NoError;
        QTest::newRow("no battery value") << small << -1 << "Install" << 0 << UpdateError::NoError;
    }

    void refusals()
    {
        QFETCH(QByteArray, cache);
        QFETCH(int, battery);
        QFETCH(QString, call);
        QFETCH(int, method);
        QFETCH(UpdateError, error);

        if (!cache.isEmpty())
            plantCache(cache);
        setBattery(battery);
        Service service(false, false);
        settle(service);
        const Method before = service.method();
        QSignalSpy errors(&service, &Service::Error);
        QSignalSpy statusChanged(&service, &Service::statusChanged);
        if (call == QLatin1String("SetMethod"))
            service.SetMethod(static_cast<Method>(method));
        else if (call == QLatin1String("Install"))
            service.Install(false);
        else
            QVERIFY(QMetaObject::invokeMethod(&service, qPrintable(call)));
        if (error == UpdateError::NoError) {
            // Past the checks the update manager takes over, and may fail in its own way.
            QVERIFY(!statusChanged.isEmpty());
            settle(service);
            return;
        }
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().at(0).value<UpdateError>(), error);
        QCOMPARE(errors.first().at(1).toString(), QString::fromLatin1(QTest::currentDataTag()));
        QCOMPARE(service.status(), Status::Idle);
        QCOMPARE(service.method(), before);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
