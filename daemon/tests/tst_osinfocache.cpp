// The cache file's codec: what a restart restores from the bytes a previous run wrote, or from
// bytes someone else left there; and the table those records meet the next check in.
#include "osinfocache.h"
#include "osinfotable.h"

#include <QTest>

Q_DECLARE_METATYPE(Corvane::OsInfoCache::Records)

using namespace Corvane;
using Method = Enums::Method;

namespace {

// Every field of a record in one line, so that a failed comparison shows what differs.
QString describe(const OsInfoCache::Records &records)
{
    QStringList lines;
    for (const OsInfoCache::Record &record : records) {
        const OsInfo &info = record.info;
        lines.append(QStringLiteral("%1 %2|%3|%4|%5|%6 @%7 %8/%9/%10 %11 %12 %13 [%14]")
                         .arg(static_cast<int>(record.method))
                         .arg(info.version, info.codeName, info.summary, info.cover, info.website)
                         .arg(info.lastChecked.toMSecsSinceEpoch())
                         .arg(info.size)
                         .arg(info.downloadedSize)
                         .arg(info.installSize)
                         .arg(info.isDownloaded)
                         .arg(info.vendorDataUrl)
                         .arg(info.isVendorDataDownloaded)
                         .arg(info.packagesToRemove.join(QLatin1Char(','))));
    }
    return lines.join(QLatin1Char('\n'));
}

OsInfoCache::Record record(Method method, const QString &version, qint64 lastChecked)
{
    OsInfo info;
    info.version = version;
    info.lastChecked = QDateTime::fromMSecsSinceEpoch(lastChecked);
    return {method, info};
}

} // namespace

class TestOsInfoCache : public QObject
{
    Q_OBJECT

private slots:
    // What one run writes, the next one reads back exactly and in the same order.
    void roundTrip_data()
    {
        QTest::addColumn<OsInfoCache::Records>("records");

        OsInfoCache::Record full = record(Method::ResetUpdate, QStringLiteral("4.1.0.5"), 1);
        full.info.codeName = QStringLiteral("Otava \u00e4\U0001F600");
        full.info.summary = QStringLiteral("line\nbreak \"quoted\"");
        full.info.cover = QStringLiteral("https://example.org/c.png");
        full.info.website = QStringLiteral("https://example.org");
        full.info.lastChecked = QDateTime::fromMSecsSinceEpoch(1700000000123);
        full.info.size = 9100000000000000000;
        full.info.downloadedSize = 0;
        full.info.installSize = 4096;
        full.info.isDownloaded = true;
        full.info.vendorDataUrl = QStringLiteral("https://example.org/vd.tar.gz");
        full.info.isVendorDataDownloaded = true;
        full.info.packagesToRemove = QStringList {QStringLiteral("a"), QString()};
        QTest::newRow("every field") << OsInfoCache::Records {full};
        QTest::newRow("reset method first, unknown sizes, before 1970")
            << OsInfoCache::Records {record(Method::ResetUpdate, QStringLiteral("b"), 5),
                   record(Method::PackageUpdate, QStringLiteral("a"), -86400001)};
        QTest::newRow("none") << OsInfoCache::Records();
    }

    void roundTrip()
    {
        QFETCH(OsInfoCache::Records, records);
        QCOMPARE(describe(OsInfoCache::decode(OsInfoCache::encode(records))), describe(records));
    }

    // Bytes that were not written by us: no number may overflow a conversion, the file's order
    // is kept, and what cannot be a record is left out.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // "method:version:size" per record, space apart

        QTest::newRow("method named again keeps its place, takes the later data")
            << QByteArray(R"({"methods": [{"method": 2, "info": {"version": "a"}},
                {"method": 1, "info": {"version": "b"}}, {"method": 2, "info": {"version": "c"}}]})")
            << "2:c:0 1:b:0";
        QTest::newRow("numbers out of range read as 0")
            << QByteArray(R"({"methods": [{"method": 4294967297, "info": {"size": 9.3e18,
                "lastChecked": -1e300}}, {"method": 2, "info": {"size": -9.1e18}}]})")
            << "0::0 2::-9100000000000000000";
        QTest::newRow("elements that are no records")
            << QByteArray(R"({"methods": [1, "x", null, [], {"info": 3}]})") << "0::0";
        QTest::newRow("not an object") << QByteArray(R"([{"methods": []}])") << "";
        QTest::newRow("cut short") << QByteArray(R"({"methods": [{"method": 1, "info": {)") << "";
    }

    void decode()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QStringList found;
        for (const OsInfoCache::Record &record : OsInfoCache::decode(content)) {
            found.append(QStringLiteral("%1:%2:%3")
                             .arg(static_cast<int>(record.method))
                             .arg(record.info.version)
                             .arg(record.info.size));
        }
        QCOMPARE(found.join(QLatin1Char(' ')), expected);
    }

    // The methods' order against a check's result: new ones by number, known ones where they were,
    // and the current one first in what the next start selects from.
    void tableMerge_data()
    {
        QTest::addColumn<OsInfoCache::Records>("known");
        QTest::addColumn<QString>("found"); // method=version, by number
        QTest::addColumn<int>("first");
        QTest::addColumn<QString>("records"); // method:version, * when still downloaded

        OsInfoCache::Record downloaded = record(Method::ResetUpdate, QStringLiteral("b"), 1);
        downloaded.info.isDownloaded = true;
        const OsInfoCache::Record package = record(Method::PackageUpdate, QStringLiteral("a"), 1);
        QTest::newRow("first check") << OsInfoCache::Records() << "2=b 1=a" << 0 << "1:a 2:b";
        QTest::newRow("unchanged versions keep records and order")
            << OsInfoCache::Records {downloaded, package} << "1=a 2=b" << 0 << "2:b* 1:a";
        QTest::newRow("nothing found") << OsInfoCache::Records {package} << "" << 0 << "";
        QTest::newRow("the current method leads")
            << OsInfoCache::Records {downloaded, package} << "1=a 2=b" << 1 << "1:a 2:b*";
    }

    void tableMerge()
    {
        QFETCH(OsInfoCache::Records, known);
        QFETCH(QString, found);
        QFETCH(int, first);
        QFETCH(QString, records);

        OsInfoTable table;
        table.restore(known);
        QHash<Method, QString> versions;
        for (const QString &pair : found.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            versions.insert(Method(pair.section(QLatin1Char('='), 0, 0).toInt()),
                pair.section(QLatin1Char('='), 1));
        table.merge(versions);

        QStringList result;
        for (const OsInfoCache::Record &record : table.records(Method(first)))
            result.append(QStringLiteral("%1:%2%3")
                              .arg(int(record.method))
                              .arg(record.info.version, record.info.isDownloaded ? "*" : ""));
        QCOMPARE(result.join(QLatin1Char(' ')), records);
        QCOMPARE(table.methods().size(), result.size());
    }
};

QTEST_GUILESS_MAIN(TestOsInfoCache)
#include "tst_osinfocache.moc"
