// The service object in-process, inside the simulated device: its cache file, its flow rules
// and its checks before installing.
#include "enums.h"
#include "service.h"
#include "util.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <unistd.h>

using namespace Corvane;
using Method = Enums::Method;
using Status = Enums::Status;
using UpdateError = Enums::UpdateError;

namespace {

QString cacheFile()
{
    return cacheDir().absoluteFilePath(QStringLiteral("os-info.json"));
}

QJsonObject entry(int method, const QString &version, QJsonObject info = {})
{
    info.insert(QStringLiteral("version"), version);
    if (!info.contains(QStringLiteral("lastChecked")))
        info.insert(QStringLiteral("lastChecked"), 1700000000000.0);
    return QJsonObject {{QStringLiteral("method"), method}, {QStringLiteral("info"), info}};
}

QByteArray document(const QJsonArray &methods)
{
    return QJsonDocument(QJsonObject {{QStringLiteral("methods"), methods}}).toJson();
}

void plantCache(const QByteArray &content, uid_t owner = 0, gid_t group = 0)
{
    QFile file(cacheFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    file.close();
    QCOMPARE(::chown(QFile::encodeName(cacheFile()).constData(), owner, group), 0);
}

QJsonObject readCacheFile()
{
    QFile file(cacheFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void setBattery(int capacity)
{
    QDir supplies(QStringLiteral("/sys/class/power_supply"));
    supplies.removeRecursively();
    supplies.mkpath(QStringLiteral("BAT0"));
    if (capacity < 0)
        return;
    QFile type(supplies.filePath(QStringLiteral("BAT0/type")));
    QVERIFY(type.open(QIODevice::WriteOnly));
    type.write("Battery\n");
    QFile level(supplies.filePath(QStringLiteral("BAT0/capacity")));
    QVERIFY(level.open(QIODevice::WriteOnly));
    level.write(QByteArray::number(capacity) + '\n');
}

QList<int> toInts(const MethodList &methods)
{
    QList<int> result;
    for (Method method : methods)
        result.append(static_cast<int>(method));
    std::sort(result.begin(), result.end());
    return result;
}

// The update managers of this build answer every operation with an error from the event
// loop; wait for the service to be back at rest.
void settle(Service &service)
{
    QTRY_COMPARE(service.status(), Status::Idle);
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(QFile::exists(QStringLiteral("/home/.system-updates")));
    }

    void init()
    {
        QFile::remove(cacheFile());
        setBattery(-1);
    }

    void startsEmpty()
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        Service service(false, false);
        QCOMPARE(service.status(), Status::Idle);
        QCOMPARE(service.method(), Method::Unknown);
        QVERIFY(service.supportedMethods().isEmpty());
        QCOMPARE(service.size(), -1);
        QCOMPARE(service.downloadedSize(), -1);
        QVERIFY(service.lastChecked() >= before);
        QVERIFY(!QFile::exists(cacheFile()));
    }

    void restoresCache_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<int>>("restored");
        QTest::addColumn<bool>("fileKept");

        QTest::newRow("two methods")
            << document({entry(1, QStringLiteral("4.1.0")), entry(2, QStringLiteral("4.2.0"))})
            << QList<int> {1, 2} << true;
        QTest::newRow("later element replaces earlier")
            << document({entry(1, QStringLiteral("4.1.0")), entry(1, QStringLiteral("4.3.0"))})
            << QList<int> {1} << true;
        QTest::newRow("empty methods") << document({}) << QList<int>() << true;
        QTest::newRow("not JSON") << QByteArray("{\"methods\": [") << QList<int>() << true;
        QTest::newRow("array") << QByteArray("[1, 2]") << QList<int>() << true;
        QTest::newRow("methods is an object")
            << QByteArray("{\"methods\": {\"method\": 1}}") << QList<int>() << true;
        QTest::newRow("elements of wrong types")
            << QByteArray("{\"methods\": [3, \"x\", null, [], true]}") << QList<int> {0} << true;
        QTest::newRow("members of wrong types")
            << QByteArray("{\"methods\": [{\"method\": \"2\", \"info\": {\"version\": 5, "
                          "\"size\": \"big\", \"packagesToRemove\": \"a\", "
                          "\"lastChecked\": 1e300}}]}")
            << QList<int> {0} << true;
        QTest::newRow("huge method number") << document({entry(1, QStringLiteral("4.1.0"))})
                                                   .replace("\"method\": 1", "\"method\": 1e30")
                                            << QList<int> {0} << true;
        QTest::newRow("empty file") << QByteArray() << QList<int>() << true;
    }

    void restoresCache()
    {
        QFETCH(QByteArray, content);
        QFETCH(QList<int>, restored);
        QFETCH(bool, fileKept);

        plantCache(content);
        Service service(false, false);
        QCOMPARE(toInts(service.supportedMethods()), restored);
        if (!restored.isEmpty()) {
            // The first supported method is selected (and its preparation started); a value that
            // names no method is refused on the spot.
            const Method first = service.supportedMethods().first();
            const bool creatable = first == Method::PackageUpdate || first == Method::ResetUpdate;
            QCOMPARE(service.method(), creatable ? first : Method::Unknown);
        } else {
            QCOMPARE(service.status(), Status::Idle);
            QCOMPARE(service.method(), Method::Unknown);
        }
        settle(service);
        QCOMPARE(QFile::exists(cacheFile()), fileKept);
    }

    void trustsOnlyPrivilegedFiles_data()
    {
        QTest::addColumn<uint>("owner");
        QTest::addColumn<uint>("group");
        QTest::addColumn<bool>("trusted");
        // Identities of the simulated device: 2003 "carol" (group "users"), 996 "privileged".
        QTest::newRow("root:root") << 0u << 0u << true;
        QTest::newRow("root:users") << 0u << 100u << true;
        QTest::newRow("carol:privileged") << 2003u << 996u << true;
        QTest::newRow("carol:users") << 2003u << 100u << false;
        QTest::newRow("nobody:nogroup") << 65534u << 65534u << false;
    }

    void trustsOnlyPrivilegedFiles()
    {
        QFETCH(uint, owner);
        QFETCH(uint, group);
        QFETCH(bool, trusted);

        plantCache(document({entry(2, QStringLiteral("5.0.0"))}), owner, group);
        Service service(false, false);
        QCOMPARE(service.supportedMethods().size(), trusted ? 1 : 0);
        QCOMPARE(QFile::exists(cacheFile()), trusted);
        settle(service);
    }

    void lastCheckedSurvivesToTheMillisecond()
    {
        const qint64 stamp = 1733412345678;
        QJsonObject info {{QStringLiteral("lastChecked"), static_cast<double>(stamp)},
            {QStringLiteral("size"), 123456789012.0},
            {QStringLiteral("packagesToRemove"), QJsonArray {QStringLiteral("a")}}};
        plantCache(document({entry(1, QStringLiteral("4.1.0"), info)}));

        {
            Service service(false, false);
            QCOMPARE(service.lastChecked(), stamp);
            QCOMPARE(service.size(), 123456789012);
            settle(service);
            QFile::remove(cacheFile());
            QVERIFY(QMetaObject::invokeMethod(&service, "writeCache"));
        }
        const QJsonObject written = readCacheFile();
        const QJsonObject writtenInfo = written.value(QStringLiteral("methods"))
                                            .toArray()
                                            .first()
                                            .toObject()
                                            .value(QStringLiteral("info"))
                                            .toObject();
        QCOMPARE(static_cast<qint64>(writtenInfo.value(QStringLiteral("lastChecked")).toDouble()),
            stamp);
        QCOMPARE(writtenInfo.value(QStringLiteral("packagesToRemove")).toArray().size(), 1);

        Service again(false, false);
        QCOMPARE(again.lastChecked(), stamp);
        settle(again);
    }

    void clearingAndDestruction()
    {
        plantCache(document({entry(1, QStringLiteral("4.1.0"))}));
        {
            Service service(false, false);
            settle(service);
            QVERIFY(QMetaObject::invokeMethod(&service, "clearData", Q_ARG(bool, false)));
            QCOMPARE(service.method(), Method::Unknown);
            QVERIFY(QFile::exists(cacheFile()));
        }
        // Destruction keeps the file.
        QVERIFY(QFile::exists(cacheFile()));
        Service service(false, false);
        settle(service);
        QSignalSpy versionChanged(&service, &Service::versionChanged);
        QVERIFY(QMetaObject::invokeMethod(&service, "clearData"));
        QVERIFY(!QFile::exists(cacheFile()));
        QCOMPARE(versionChanged.count(), 1);
        QCOMPARE(service.status(), Status::Idle);
    }

    // The rules of a finished check against what the service already knows.
    void checkResults_data()
    {
        QTest::addColumn<MethodVersions>("found");
        QTest::addColumn<QList<int>>("supported");
        QTest::addColumn<bool>("keepsDownload");
        QTest::addColumn<bool>("cacheFileExists");

        QTest::newRow("same version keeps the download")
            << MethodVersions {{Method::PackageUpdate, QStringLiteral("4.1.0")}} << QList<int> {1}
            << true << true;
        QTest::newRow("new version resets it")
            << MethodVersions {{Method::PackageUpdate, QStringLiteral("4.2.0")}} << QList<int> {1}
            << false << true;
        QTest::newRow("method gone, another found")
            << MethodVersions {{Method::ResetUpdate, QStringLiteral("4.1.0")}} << QList<int> {2}
            << false << true;
        QTest::newRow("nothing found clears everything")
            << MethodVersions() << QList<int>() << false << false;
    }

    void checkResults()
    {
        QFETCH(MethodVersions, found);
        QFETCH(QList<int>, supported);
        QFETCH(bool, keepsDownload);
        QFETCH(bool, cacheFileExists);

        QJsonObject info {{QStringLiteral("isDownloaded"), true}, {QStringLiteral("size"), 1000.0},
            {QStringLiteral("downloadedSize"), 1000.0}};
        plantCache(document({entry(1, QStringLiteral("4.1.0"), info)}));
        Service service(false, false);
        settle(service);
        QVERIFY(service.isDownloaded());

        QSignalSpy errors(&service, &Service::Error);
        QList<Status> statuses;
        connect(&service, &Service::statusChanged, this, [&service, &statuses] {
            statuses.append(service.status());
        });
        // Delivered as the metadata manager's finished signal would deliver it.
        QVERIFY(QMetaObject::invokeMethod(
            &service, "onCheckFinished", QGenericArgument("QHash<Enums::Method,QString>", &found)));
        QCOMPARE(toInts(service.supportedMethods()), supported);
        if (supported.isEmpty()) {
            QCOMPARE(service.status(), Status::Idle);
            QCOMPARE(service.method(), Method::Unknown);
            QCOMPARE(errors.count(), 0);
        } else {
            QVERIFY(statuses.contains(Status::Preparing));
            QCOMPARE(service.version(), found.value(service.method()));
        }
        QCOMPARE(service.isDownloaded(), keepsDownload);
        QCOMPARE(service.size(), keepsDownload ? 1000 : -1);
        settle(service);
        QCOMPARE(QFile::exists(cacheFile()), cacheFileExists);
    }

    void setMethodRejections_data()
    {
        QTest::addColumn<QByteArray>("cache");
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("text");

        QTest::newRow("any without methods")
            << QByteArray() << 0 << "There are no supported methods, currenlty";
        QTest::newRow("unsupported method")
            << document({entry(1, QStringLiteral("4.1.0"))}) << 2 << "Method is not supported";
        QTest::newRow("unknown value")
            << document({entry(1, QStringLiteral("4.1.0"))}) << 77 << "Method is not supported";
    }

    void setMethodRejections()
    {
        QFETCH(QByteArray, cache);
        QFETCH(int, method);
        QFETCH(QString, text);

        if (!cache.isEmpty())
            plantCache(cache);
        Service service(false, false);
        settle(service);
        const Method before = service.method();
        QSignalSpy errors(&service, &Service::Error);
        service.SetMethod(static_cast<Method>(method));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().at(0).value<UpdateError>(), UpdateError::InternalError);
        QCOMPARE(errors.first().at(1).toString(), text);
        QCOMPARE(service.status(), Status::Idle);
        QCOMPARE(service.method(), before);
    }

    void installChecks_data()
    {
        QTest::addColumn<bool>("downloaded");
        QTest::addColumn<double>("installSize");
        QTest::addColumn<int>("battery");
        QTest::addColumn<int>("error");

        const int none = static_cast<int>(UpdateError::NoError);
        const int internal = static_cast<int>(UpdateError::InternalError);
        const int lowDisk = static_cast<int>(UpdateError::LowDisk);
        const int lowBattery = static_cast<int>(UpdateError::LowBattery);
        QTest::newRow("not downloaded") << false << 1.0 << 100 << internal;
        QTest::newRow("disk before battery") << true << 1e15 << 5 << lowDisk;
        QTest::newRow("battery 29") << true << 1.0 << 29 << lowBattery;
        QTest::newRow("battery 30") << true << 1.0 << 30 << none;
        QTest::newRow("no battery") << true << 1.0 << -1 << none;
        QTest::newRow("unknown install size") << true << -1.0 << 80 << none;
    }

    void installChecks()
    {
        QFETCH(bool, downloaded);
        QFETCH(double, installSize);
        QFETCH(int, battery);
        QFETCH(int, error);

        QJsonObject info {{QStringLiteral("isDownloaded"), downloaded},
            {QStringLiteral("installSize"), installSize}};
        plantCache(document({entry(1, QStringLiteral("4.1.0"), info)}));
        setBattery(battery);
        Service service(false, false);
        settle(service);

        QSignalSpy errors(&service, &Service::Error);
        QList<Status> statuses;
        connect(&service, &Service::statusChanged, this, [&service, &statuses] {
            statuses.append(service.status());
        });
        service.Install(false);
        settle(service);
        if (error == static_cast<int>(UpdateError::NoError)) {
            QVERIFY(statuses.contains(Status::Installing));
        } else {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(static_cast<int>(errors.first().at(0).value<UpdateError>()), error);
            QVERIFY(statuses.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
