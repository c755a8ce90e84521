// The corvane process on the device's private system bus, as its clients meet it.
#include "busclient.h"
#include "daemonprocess.h"
#include "util.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QXmlStreamReader>

namespace {

struct Introspected
{
    QMap<QString, QString> propertyTypes;
    QMap<QString, QString> propertyAccess;
    QStringList signalNames;
    QStringList methodNames;
};

Introspected introspect()
{
    const ToolResult result = BusClient::gdbus({QStringLiteral("introspect"),
        QStringLiteral("--system"), QStringLiteral("--xml"), QStringLiteral("--dest"),
        BusClient::Service, QStringLiteral("--object-path"), BusClient::Path});
    Introspected found;
    QXmlStreamReader xml(result.out);
    bool inInterface = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("interface"))
            inInterface = xml.attributes().value(QStringLiteral("name")) == BusClient::Interface;
        if (!inInterface || !xml.isStartElement())
            continue;
        const QString name = xml.attributes().value(QStringLiteral("name")).toString();
        if (xml.name() == QLatin1String("property")) {
            found.propertyTypes.insert(
                name, xml.attributes().value(QStringLiteral("type")).toString());
            found.propertyAccess.insert(
                name, xml.attributes().value(QStringLiteral("access")).toString());
        } else if (xml.name() == QLatin1String("signal")) {
            found.signalNames.append(name);
        } else if (xml.name() == QLatin1String("method")) {
            found.methodNames.append(name);
        }
    }
    return found;
}

void plantCache(const QJsonArray &methods)
{
    QFile file(Corvane::cacheDir().absoluteFilePath(QStringLiteral("os-info.json")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(QJsonObject {{QStringLiteral("methods"), methods}}).toJson());
}

QJsonObject cacheEntry(int method, const QString &version)
{
    return QJsonObject {{QStringLiteral("method"), method},
        {QStringLiteral("info"),
            QJsonObject {{QStringLiteral("version"), version},
                {QStringLiteral("lastChecked"), 1700000000000.0}}}};
}

} // namespace

class TestDaemon : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(Corvane::cacheDir().absoluteFilePath(QStringLiteral("os-info.json")));
    }

    void servesItsInterface()
    {
        DaemonProcess daemon;
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));

        const Introspected found = introspect();
        const QMap<QString, QString> expectedTypes {
            {QStringLiteral("status"), QStringLiteral("(i)")},
            {QStringLiteral("method"), QStringLiteral("(i)")},
            {QStringLiteral("version"), QStringLiteral("s")},
            {QStringLiteral("supportedMethods"), QStringLiteral("a(i)")},
            {QStringLiteral("codeName"), QStringLiteral("s")},
            {QStringLiteral("cover"), QStringLiteral("s")},
            {QStringLiteral("summary"), QStringLiteral("s")},
            {QStringLiteral("website"), QStringLiteral("s")},
            {QStringLiteral("packagesToRemove"), QStringLiteral("as")},
            {QStringLiteral("size"), QStringLiteral("x")},
            {QStringLiteral("downloadedSize"), QStringLiteral("x")},
            {QStringLiteral("isDownloaded"), QStringLiteral("b")},
            {QStringLiteral("vendorDataUrl"), QStringLiteral("s")},
            {QStringLiteral("isVendorDataDownloaded"), QStringLiteral("b")},
            {QStringLiteral("lastChecked"), QStringLiteral("x")},
        };
        QCOMPARE(found.propertyTypes, expectedTypes);
        for (const QString &access : found.propertyAccess)
            QCOMPARE(access, QStringLiteral("read"));

        QCOMPARE(found.signalNames.size(), 17);
        QVERIFY(found.signalNames.contains(QStringLiteral("Error")));
        QVERIFY(found.signalNames.contains(QStringLiteral("DownloadProgress")));
        for (const QString &property : expectedTypes.keys())
            QVERIFY2(found.signalNames.contains(property + QStringLiteral("Changed")),
                qPrintable(property));
        QCOMPARE(found.methodNames,
            (QStringList {QStringLiteral("Check"), QStringLiteral("SetMethod"),
                QStringLiteral("Download"), QStringLiteral("DownloadVendorData"),
                QStringLiteral("CancelDownload"), QStringLiteral("Install")}));
    }

    void readsPropertiesWithForeignClients_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");

        QTest::newRow("busctl method")
            << "busctl"
            << QStringList {"--system", "get-property", BusClient::Service, BusClient::Path,
                   BusClient::Interface, "method"}
            << "(i) -1";
        QTest::newRow("busctl supportedMethods")
            << "busctl"
            << QStringList {"--system", "get-property", BusClient::Service, BusClient::Path,
                   BusClient::Interface, "supportedMethods"}
            << "a(i) 0";
        QTest::newRow("gdbus method")
            << "gdbus"
            << QStringList {"call", "--system", "--dest", BusClient::Service, "--object-path",
                   BusClient::Path, "--method", "org.freedesktop.DBus.Properties.Get",
                   BusClient::Interface, "method"}
            << "(<(-1,)>,)";
        QTest::newRow("dbus-send size")
            << "dbus-send"
            << QStringList {"--system", "--print-reply=literal", "--dest=" + BusClient::Service,
                   BusClient::Path, "org.freedesktop.DBus.Properties.Get",
                   "string:" + BusClient::Interface, "string:size"}
            << "variant       int64 -1";
    }

    void readsPropertiesWithForeignClients()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);

        DaemonProcess daemon;
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
        const ToolResult result = BusClient::run(program, arguments);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QCOMPARE(result.out.trimmed(), expected);
    }

    void refusesToRunBesideTheOldService()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        QVERIFY(bus.registerService(QStringLiteral("org.vidivozeda.osupdate")));
        DaemonProcess daemon;
        daemon.startDetachedFromBus();
        QVERIFY(daemon.waitForExit(15000));
        bus.unregisterService(QStringLiteral("org.vidivozeda.osupdate"));

        QCOMPARE(daemon.exitCode(), 1);
        QVERIFY2(daemon.log().contains(
                     QStringLiteral("Old service is running. Stop it before using this service.")),
            qPrintable(daemon.log()));
        QVERIFY(!bus.interface()->isServiceRegistered(BusClient::Service));
    }

    void rejectsUnknownOptions()
    {
        DaemonProcess daemon({QStringLiteral("--no-shutdown"), QStringLiteral("--bogus")});
        daemon.startDetachedFromBus();
        QVERIFY(daemon.waitForExit(15000));
        QCOMPARE(daemon.exitCode(), 1);
        QVERIFY2(daemon.log().contains(QStringLiteral("Unknown option 'bogus'.")),
            qPrintable(daemon.log()));
    }

    void acceptsBothSwitchesInAnyOrder()
    {
        DaemonProcess daemon({QStringLiteral("--no-shutdown"), QStringLiteral("--insecure")});
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
    }

    void restoresCacheAtStart()
    {
        plantCache(
            {cacheEntry(1, QStringLiteral("4.1.0")), cacheEntry(2, QStringLiteral("4.2.0"))});
        DaemonProcess daemon;
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));

        QList<int> supported = BusClient::supportedMethods();
        const int first = supported.value(0);
        std::sort(supported.begin(), supported.end());
        QCOMPARE(supported, (QList<int> {1, 2}));
        QCOMPARE(BusClient::method(), first);
        QCOMPARE(BusClient::property(QStringLiteral("version")).toString(),
            first == 1 ? QStringLiteral("4.1.0") : QStringLiteral("4.2.0"));
        QCOMPARE(BusClient::property(QStringLiteral("lastChecked")).toLongLong(), 1700000000000);
    }

    void logsWithSourceContext()
    {
        DaemonProcess daemon;
        QVERIFY2(daemon.start(), qPrintable(daemon.log()));
        daemon.terminate();
        // File, line and function travel with every record; the text starts with the function.
        QVERIFY2(daemon.log().contains(QRegularExpression(QStringLiteral(
                     "service\\.cpp:\\d+ Corvane::Service::Service: "
                     "Corvane::Service::Service\\(bool, bool, QObject\\*\\) Service is created"))),
            qPrintable(daemon.log()));
    }
};

QTEST_GUILESS_MAIN(TestDaemon)
#include "tst_daemon.moc"
