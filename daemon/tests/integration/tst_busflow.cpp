// The running daemon as its clients meet it on the bus: who may call, what a busy daemon
// answers, and the interface exactly as it is published for client developers.
#include "busclient.h"
#include "daemonprocess.h"
#include "fileio.h"
#include "releaseserver.h"
#include "ssusettings.h"
#include "util.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QByteArray TwoMethods = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";

void setPolicy(bool osUpdatesEnabled)
{
    QDir().mkpath(QStringLiteral("/etc/zovoveva"));
    writeFile(QStringLiteral("/etc/zovoveva/access-policy.conf"),
        osUpdatesEnabled ? "[OsUpdates]\nEnabled=true\n" : "[OsUpdates]\nEnabled=false\n");
}

// The elements of the daemon's interface in document order, each with its attributes.
QStringList interfaceElements(const QString &xml)
{
    QStringList elements;
    QXmlStreamReader reader(xml);
    bool inside = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.name() == QLatin1String("interface"))
            inside = reader.isStartElement() &&
                reader.attributes().value(QStringLiteral("name")) == BusClient::Interface;
        if (!inside || !reader.isStartElement())
            continue;
        QString element = reader.name().toString();
        for (const QXmlStreamAttribute &attribute : reader.attributes())
            element += QLatin1Char(' ') + attribute.name() + QLatin1Char('=') + attribute.value();
        elements << element;
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
        QFile::remove(Corvane::cacheDir().absoluteFilePath(QStringLiteral("os-info.json")));
        setPolicy(true);
        SsuSettings(m_server.address()).write();
        // Both switches, in the order the unit file does not use.
        m_daemon.reset(
            new DaemonProcess({QStringLiteral("--no-shutdown"), QStringLiteral("--insecure")}));
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->log()));
    }

    void cleanup() { m_daemon.reset(); }

    void privilegeCheck_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<bool>("policy");
        QTest::addColumn<QString>("refusal");

        // Test users: 2001 system user, 2002 privileged only, 2004 device management;
        // groups 996 "privileged", 998 "zovoveva-mdm", 100 "users".
        QTest::newRow("root, policy off") << "0:0" << false << "";
        QTest::newRow("device management, policy off") << "2004:998" << false << "";
        QTest::newRow("system user, policy off") << "2001:996" << false << "Disabled by MDM";
        QTest::newRow("system user") << "2001:996" << true << "";
        QTest::newRow("process not in privileged group")
            << "2001:100" << true << "PID \\d+ is not in privileged group";
        QTest::newRow("privileged, not a system user")
            << "2002:996" << true << "UID 2002 is not in zovoveva-system group";
    }

    void privilegeCheck()
    {
        QFETCH(QString, identity);
        QFETCH(bool, policy);
        QFETCH(QString, refusal);

        setPolicy(policy);
        BusSignal errors(QStringLiteral("Error"));
        BusSignal statusChanged(QStringLiteral("statusChanged"));
        const ToolResult result = BusClient::call("Check", {"latest", "false"}, identity);
        const QString denied = "^Error: GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: ";
        QVERIFY(refusal.isEmpty() ? result.ends(0) : result.ends(1, denied + refusal + "\\s*$"));
        // An allowed call starts the check; a refusal changes nothing and says nothing on the bus.
        statusChanged.spy().wait(refusal.isEmpty() ? 5000 : 300);
        QCOMPARE(statusChanged.spy().isEmpty(), !refusal.isEmpty());
        if (!refusal.isEmpty())
            QCOMPARE(errors.spy().count(), 0);
    }

    // While a check waits on a release server that never answers, every operation gets an
    // empty reply and the busy error. That Error goes to every listener: the corvanectl whose
    // check it is must not take it as its own outcome, and a second corvanectl is not refused
    // but waits.
    void busyCallsAreRefused()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        SsuSettings(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort())).write();
        QProcess first;
        first.start(corvanectlPath(), {"check", "--force", "--timeout", "5"});
        QVERIFY(BusClient::waitForStatus(1));

        const QList<QStringList> calls {{"Check", "latest", "true"}, {"SetMethod", "(1,)"},
            {"Download"}, {"DownloadVendorData", "https://x/y"}, {"Install", "false"}};
        for (const QStringList &method : calls) {
            BusSignal errors(QStringLiteral("Error"));
            QCOMPARE(
                BusClient::call(method.first(), method.mid(1)).out.trimmed(), QStringLiteral("()"));
            QVERIFY(errors.spy().wait(5000));
            QCOMPARE(errors.spy().first().first().toList().at(1).toString(),
                QStringLiteral("Corvane is busy"));
            QCOMPARE(BusClient::status(), 1);
        }
        QVERIFY(corvanectl({"download", "--timeout", "1"}, 60000)
                    .ends(5, "\\(its status is Checking\\); the download was not started"));
        QVERIFY(BusClient::finish(first).ends(5, "the daemon's status is Checking"));
    }

    // The interface as published for client developers, and its properties as busctl prints
    // them before any check; none of them can be set.
    void servesThePublishedInterface()
    {
        const QStringList expected = interfaceElements(QString::fromUtf8(readFile(
            qEnvironmentVariable("CORVANE_SOURCE_DIR") + "/data/org.tessaro.Corvane.xml")));
        QCOMPARE(expected.filter(QRegularExpression(QStringLiteral("^property "))).size(), 15);
        QCOMPARE(expected.filter(QRegularExpression(QStringLiteral("^signal "))).size(), 17);
        const ToolResult served = BusClient::run("gdbus",
            {"introspect", "--system", "--xml", "--dest", BusClient::Service, "--object-path",
                BusClient::Path});
        QCOMPARE(interfaceElements(served.out), expected);

        const QMap<QString, QString> initial {
            {"method", "(i) -1"}, {"supportedMethods", "a(i) 0"}, {"size", "x -1"}};
        const QStringList names = BusClient::allProperties().keys();
        QCOMPARE(names.size(), 15);
        for (const QString &name : names) {
            const auto busctl = [&name](const char *verb, const QStringList &value = {}) {
                return BusClient::run("busctl",
                    QStringList {"--system", verb, BusClient::Service, BusClient::Path,
                        BusClient::Interface, name} +
                        value);
            };
            if (initial.contains(name))
                QCOMPARE(busctl("get-property").out.trimmed(), initial.value(name));
            QVERIFY(busctl("set-property", {"s", "x"}).ends(1, "read-only"));
        }
    }

    // Several processes calling at once, privileged and not, with good and bad arguments.
    void staysResponsiveUnderManyCallers()
    {
        const QString script = QStringLiteral(R"sh(
long=$(head -c 3000 /dev/zero | tr '\0' x)
for i in $(seq 25); do
    for call in "Check string:latest boolean:true" CancelDownload "Install boolean:false" \
            "DownloadVendorData string:$long" "SetMethod int32:1"; do
        dbus-send --system --print-reply --reply-timeout=20000 --dest=org.tessaro.Corvane \
            /org/tessaro/Corvane org.tessaro.Corvane.$call >/dev/null 2>&1
    done
done
)sh");
        QProcess callers[4];
        for (int i = 0; i < 4; ++i)
            callers[i].start("setpriv", asUser(i % 2 ? "2003:100" : "0:0", {"bash", "-c", script}));
        for (QProcess &process : callers)
            QVERIFY(process.waitForFinished(180000));
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
