// The update flow through the bus: who may call, what each call answers, and the interface
// exactly as it is published for client developers.
#include "busclient.h"
#include "daemonprocess.h"
#include "releaseserver.h"
#include "util.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QByteArray TwoMethods = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";
const QByteArray NothingForThisDevice = R"({"devices": []})";

QString cacheFile()
{
    return Corvane::cacheDir().absoluteFilePath(QStringLiteral("os-info.json"));
}

void setPolicy(bool osUpdatesEnabled)
{
    QDir().mkpath(QStringLiteral("/etc/zovoveva"));
    QFile policy(QStringLiteral("/etc/zovoveva/access-policy.conf"));
    QVERIFY(policy.open(QIODevice::WriteOnly | QIODevice::Truncate));
    policy.write(osUpdatesEnabled ? "[OsUpdates]\nEnabled=true\n" : "[OsUpdates]\nEnabled=false\n");
}

// gdbus calling one of the daemon's methods, as the given identity ("uid:gid", or empty for
// root as it is).
ToolResult callAs(const QString &identity, const QString &method, const QStringList &arguments = {})
{
    QStringList command {QStringLiteral("gdbus"), QStringLiteral("call"),
        QStringLiteral("--system"), QStringLiteral("--dest"), BusClient::Service,
        QStringLiteral("--object-path"), BusClient::Path, QStringLiteral("--method"),
        BusClient::Interface + QLatin1Char('.') + method};
    command += arguments;
    if (identity.isEmpty())
        return BusClient::run(command.takeFirst(), command);
    const QStringList ids = identity.split(QLatin1Char(':'));
    return BusClient::run(QStringLiteral("setpriv"),
        QStringList {QStringLiteral("--reuid=") + ids.at(0), QStringLiteral("--regid=") + ids.at(1),
            QStringLiteral("--init-groups")} +
            command);
}

struct Element
{
    QString path;
    QXmlStreamAttributes attributes;
};

// The elements of the daemon's interface in document order, each with its attributes.
QList<Element> interfaceElements(const QString &xml)
{
    QList<Element> elements;
    QXmlStreamReader reader(xml);
    QStringList path;
    bool inside = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            path.append(reader.name().toString());
            if (reader.name() == QLatin1String("interface"))
                inside = reader.attributes().value(QStringLiteral("name")) == BusClient::Interface;
            if (inside)
                elements.append({path.join(QLatin1Char('/')), reader.attributes()});
        } else if (reader.isEndElement()) {
            path.removeLast();
        }
    }
    return elements;
}

} // namespace

class TestBusFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_server.serve(QStringLiteral("metav2"), TwoMethods);
    }

    void init()
    {
        QFile::remove(cacheFile());
        setPolicy(true);
        m_server.configureDevice();
        m_daemon.reset(new DaemonProcess());
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
    }

    void cleanup() { m_daemon.reset(); }

    void privilegeCheck_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<bool>("policy");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("root, policy off") << "" << false << "";
        QTest::newRow("device management, policy off") << "2004:998" << false << "";
        QTest::newRow("system user, policy off") << "2001:996" << false << "^Disabled by MDM$";
        QTest::newRow("outsider, policy off") << "2003:100" << false << "^Disabled by MDM$";
        QTest::newRow("system user") << "2001:996" << true << "";
        QTest::newRow("process not in privileged group")
            << "2001:100" << true << "^PID \\d+ is not in privileged group$";
        QTest::newRow("outsider") << "2003:100" << true << "^PID \\d+ is not in privileged group$";
        QTest::newRow("privileged, not a system user")
            << "2002:996" << true << "^UID 2002 is not in zovoveva-system group$";
        QTest::newRow("outsider in privileged group")
            << "2003:996" << true << "^UID 2003 is not in zovoveva-system group$";
    }

    void privilegeCheck()
    {
        QFETCH(QString, identity);
        QFETCH(bool, policy);
        QFETCH(QString, refusal);

        setPolicy(policy);
        BusSignal errors(QStringLiteral("Error"));
        BusSignal statusChanged(QStringLiteral("statusChanged"));
        const ToolResult result = callAs(
            identity, QStringLiteral("Check"), {QStringLiteral("latest"), QStringLiteral("false")});
        if (refusal.isEmpty()) {
            QVERIFY2(result.exitCode == 0, qPrintable(result.err));
            QCOMPARE(result.out.trimmed(), QStringLiteral("()"));
            QVERIFY(statusChanged.spy().wait(5000));
            return;
        }
        QVERIFY(result.exitCode != 0);
        const QString prefix =
            QStringLiteral("Error: GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: ");
        QVERIFY2(result.err.trimmed().startsWith(prefix), qPrintable(result.err));
        const QString message = result.err.trimmed().mid(prefix.size());
        QVERIFY2(QRegularExpression(refusal).match(message).hasMatch(), qPrintable(message));
        // A refusal changes nothing and says nothing on the bus.
        QTest::qWait(300);
        QCOMPARE(errors.spy().count(), 0);
        QCOMPARE(statusChanged.spy().count(), 0);
        QCOMPARE(BusClient::status(), 0);
    }

    void checkFindsBothMethods()
    {
        BusSignal errors(QStringLiteral("Error"));
        const ToolResult result = callAs(
            QString(), QStringLiteral("Check"), {QStringLiteral("latest"), QStringLiteral("true")});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        // Preparation ends in an error until the update methods exist, then the status rests.
        QVERIFY(errors.spy().wait(15000));
        QVERIFY(BusClient::waitForStatus(0));
        QList<int> supported = BusClient::supportedMethods();
        const int first = supported.value(0);
        std::sort(supported.begin(), supported.end());
        QCOMPARE(supported, (QList<int> {1, 2}));
        QCOMPARE(BusClient::method(), first);
        QCOMPARE(BusClient::property(QStringLiteral("version")).toString(),
            first == 1 ? QStringLiteral("4.1.0") : QStringLiteral("4.2.0"));

        // With the information stored, a check without force does nothing at all.
        BusSignal anyStatus(QStringLiteral("statusChanged"));
        m_server.clearLog();
        QCOMPARE(callAs(QString(), QStringLiteral("Check"),
                     {QStringLiteral("latest"), QStringLiteral("false")})
                     .exitCode,
            0);
        QTest::qWait(500);
        QCOMPARE(anyStatus.spy().count(), 0);
        QCOMPARE(m_server.requestLines(), QStringList());
    }

    void checkFindingNothingClearsEverything()
    {
        QFile cache(cacheFile());
        QVERIFY(cache.open(QIODevice::WriteOnly));
        cache.write(
            R"({"methods": [{"method": 1, "info": {"version": "3.9.0", "lastChecked": 1}}]})");
        cache.close();
        m_daemon.reset(new DaemonProcess());
        QVERIFY(m_daemon->start());
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(BusClient::supportedMethods(), QList<int> {1});

        ReleaseServer empty;
        QVERIFY(empty.start());
        empty.serve(QStringLiteral("metav2"), NothingForThisDevice);
        empty.configureDevice();
        BusSignal errors(QStringLiteral("Error"));
        BusSignal cleared(QStringLiteral("supportedMethodsChanged"));
        QCOMPARE(callAs(QString(), QStringLiteral("Check"),
                     {QStringLiteral("latest"), QStringLiteral("true")})
                     .exitCode,
            0);
        QVERIFY(cleared.spy().wait(15000));
        QVERIFY(BusClient::waitForStatus(0));
        QCOMPARE(BusClient::supportedMethods(), QList<int>());
        QCOMPARE(BusClient::method(), -1);
        QVERIFY(!QFile::exists(cacheFile()));
        QCOMPARE(errors.spy().count(), 0);
    }

    void busyCallsAreRefused_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("Check") << "Check" << QStringList {"latest", "true"};
        QTest::newRow("SetMethod") << "SetMethod" << QStringList {"(1,)"};
        QTest::newRow("Download") << "Download" << QStringList();
        QTest::newRow("DownloadVendorData") << "DownloadVendorData" << QStringList {"https://x/y"};
        QTest::newRow("Install") << "Install" << QStringList {"false"};
    }

    void busyCallsAreRefused()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, arguments);

        // A release server that accepts the connection and never answers keeps the check busy.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        ReleaseServer::configureDevice(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()),
            QStringLiteral("x1"), QStringLiteral("4.0.0"));
        QCOMPARE(callAs(QString(), QStringLiteral("Check"),
                     {QStringLiteral("latest"), QStringLiteral("true")})
                     .exitCode,
            0);
        QVERIFY(BusClient::waitForStatus(1));

        BusSignal errors(QStringLiteral("Error"));
        const ToolResult result = callAs(QString(), method, arguments);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QCOMPARE(result.out.trimmed(), QStringLiteral("()"));
        QVERIFY(errors.spy().wait(5000));
        QCOMPARE(errors.spy().first().first().toList().at(1).toString(),
            QStringLiteral("Corvane is busy"));
        QCOMPARE(BusClient::status(), 1);

        // Once the server gives up, the check ends and the daemon rests again.
        silent.close();
        for (QTcpServer *server = &silent; server->hasPendingConnections();)
            delete server->nextPendingConnection();
    }

    void rejectionsWithoutAMethod_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("Download") << "Download" << QStringList() << 8 << "Update method is not set";
        QTest::newRow("DownloadVendorData odd URL")
            << "DownloadVendorData" << QStringList {"::not a url::"} << 8
            << "Update method is not set";
        QTest::newRow("Install") << "Install" << QStringList {"true"} << 8
                                 << "Update method is not set";
        QTest::newRow("SetMethod Any") << "SetMethod" << QStringList {"(0,)"} << 8
                                       << "There are no supported methods, currenlty";
        QTest::newRow("SetMethod unknown number")
            << "SetMethod" << QStringList {"(-123456,)"} << 8 << "Method is not supported";
    }

    void rejectionsWithoutAMethod()
    {
        QFETCH(QString, method);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, text);

        BusSignal errors(QStringLiteral("Error"));
        const ToolResult result = callAs(QString(), method, arguments);
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QVERIFY(errors.spy().wait(5000));
        const QVariantList error = errors.spy().first().first().toList();
        QCOMPARE(error.at(1).toString(), text);
        int received = -2;
        const QDBusArgument codeArgument = error.at(0).value<QDBusArgument>();
        codeArgument.beginStructure();
        codeArgument >> received;
        codeArgument.endStructure();
        QCOMPARE(received, code);
        QCOMPARE(BusClient::status(), 0);
        // CancelDownload while idle is silently ignored.
        QCOMPARE(callAs(QString(), QStringLiteral("CancelDownload")).out.trimmed(),
            QStringLiteral("()"));
        QTest::qWait(200);
        QCOMPARE(errors.spy().count(), 1);
    }

    void propertiesAreReadOnly()
    {
        QCOMPARE(BusClient::allProperties().size(), 15);
        const QStringList names = BusClient::allProperties().keys();
        for (const QString &name : names) {
            const ToolResult result = BusClient::run(QStringLiteral("busctl"),
                {QStringLiteral("--system"), QStringLiteral("set-property"), BusClient::Service,
                    BusClient::Path, BusClient::Interface, name, QStringLiteral("s"),
                    QStringLiteral("x")});
            QVERIFY2(result.exitCode != 0, qPrintable(name));
            QVERIFY2(result.err.contains(QStringLiteral("read-only")), qPrintable(result.err));
        }
    }

    void servesThePublishedInterface()
    {
        QFile published(
            QProcessEnvironment::systemEnvironment().value(QStringLiteral("CORVANE_SOURCE_DIR")) +
            QStringLiteral("/data/org.tessaro.Corvane.xml"));
        QVERIFY(published.open(QIODevice::ReadOnly));
        const QList<Element> expected = interfaceElements(QString::fromUtf8(published.readAll()));
        const ToolResult served = BusClient::gdbus({QStringLiteral("introspect"),
            QStringLiteral("--system"), QStringLiteral("--xml"), QStringLiteral("--dest"),
            BusClient::Service, QStringLiteral("--object-path"), BusClient::Path});
        const QList<Element> actual = interfaceElements(served.out);
        QVERIFY(expected.size() > 40);
        QCOMPARE(actual.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(actual.at(i).path, expected.at(i).path);
            QCOMPARE(actual.at(i).attributes, expected.at(i).attributes);
        }
    }

    // Several processes calling at once, privileged and not, with good and bad arguments.
    void staysResponsiveUnderManyCallers()
    {
        const QString script = QStringLiteral(R"sh(
call() {
    dbus-send --system --print-reply --reply-timeout=20000 --dest=org.tessaro.Corvane \
        /org/tessaro/Corvane "$@" >/dev/null 2>&1
}
long=$(head -c 3000 /dev/zero | tr '\0' x)
for i in $(seq 25); do
    call org.tessaro.Corvane.Check string:latest boolean:true
    call org.tessaro.Corvane.CancelDownload
    call org.tessaro.Corvane.Install boolean:false
    call org.tessaro.Corvane.DownloadVendorData string:"$long"
    call org.tessaro.Corvane.SetMethod int32:1
    call org.freedesktop.DBus.Properties.GetAll string:org.tessaro.Corvane
done
exit 0
)sh");
        QList<QProcess *> callers;
        for (int n = 0; n < 4; ++n) {
            auto *process = new QProcess(this);
            const QString shell = QStringLiteral("bash");
            if (n % 2 == 0) {
                process->start(shell, {QStringLiteral("-c"), script});
            } else {
                process->start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=2003"), QStringLiteral("--regid=100"),
                        QStringLiteral("--init-groups"), shell, QStringLiteral("-c"), script});
            }
            callers.append(process);
        }
        for (QProcess *process : callers) {
            QVERIFY(process->waitForFinished(180000));
            QCOMPARE(process->exitCode(), 0);
        }
        qDeleteAll(callers);
        QVERIFY(m_daemon->isRunning());
        QVERIFY(BusClient::waitForStatus(0, 30000));
        QCOMPARE(BusClient::allProperties().size(), 15);
    }

private:
    ReleaseServer m_server;
    QScopedPointer<DaemonProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestBusFlow)
#include "tst_busflow.moc"
