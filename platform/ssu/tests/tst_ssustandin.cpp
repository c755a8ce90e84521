#include <ssu.h>
#include <ssudeviceinfo.h>
#include <ssufeaturemodel.h>
#include <ssurepomanager.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString ConfigPath = QStringLiteral("/etc/ssu/ssu.ini");
const QString CallLogPath = QStringLiteral("/etc/ssu/calls.log");
const QString ServiceName = QStringLiteral("org.nemo.ssu");
const QString InvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");

// A null text removes the file.
bool writeConfig(const QString &text)
{
    if (text.isNull())
        return !QFile::exists(ConfigPath) || QFile::remove(ConfigPath);
    QDir().mkpath(QStringLiteral("/etc/ssu"));
    QFile file(ConfigPath);
    const QByteArray data = text.toUtf8();
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// One getter of the library, named as in the data rows.
QString query(const QString &what)
{
    Ssu ssu;
    const QPair<QString, QString> credentials = ssu.credentials(ssu.credentialsScope(QString()));
    const QHash<QString, QString> values {
        {"release", ssu.release()},
        {"rndRelease", ssu.release(true)},
        {"deviceMode", QString::number(int(ssu.deviceMode()))},
        {"domain", ssu.domain()},
        {"releaseDomain", ssu.getDomainConfig(ssu.domain()).value("releaseDomain").toString()},
        {"registered", boolText(ssu.isRegistered())},
        {"scope", ssu.credentialsScope(QString())},
        {"rndScope", ssu.credentialsScope(QString(), true)},
        {"repoScope", ssu.credentialsScope(QStringLiteral("adaptation0"))},
        {"credentials", credentials.first + QLatin1Char('|') + credentials.second},
        {"sslVerify", boolText(ssu.useSslVerify())},
        {"sslClientCertAuth", boolText(ssu.useSslClientCertAuth())},
        {"sslClientCert", ssu.sslClientCert()},
        {"sslClientKey", ssu.sslClientKey()},
        {"model", SsuDeviceInfo().deviceModel()},
    };
    return values.value(what, QStringLiteral("<unknown query>"));
}

} // namespace

class TestSsuStandIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void configValues_data();
    void configValues();
    void readsFreshEveryCall();
    void setRelease_data();
    void setRelease();
    void repos();
    void features_data();
    void features();
    void credentialsDone_data();
    void credentialsDone();

    void serviceProcess();
    void serviceReleaseAndUpdate();
    void serviceRepoCalls_data();
    void serviceRepoCalls();

private:
    // Starts a private bus with the built activation file; returns its address or empty.
    QString startBus(QProcess *process, const QString &name);
    QDBusMessage callService(const QString &call);
    QStringList callLog() const;

    QTemporaryDir m_dir;
    QProcess m_busProcess;
    QString m_address;
};

void TestSsuStandIn::initTestCase()
{
    // The configuration path is fixed: refuse to write the host's /etc.
    const QString etc = QFile::exists(QStringLiteral("/etc/ssu")) ? QStringLiteral("/etc/ssu")
                                                                  : QStringLiteral("/etc");
    if (QStorageInfo(etc).rootPath() == QLatin1String("/"))
        QFAIL("/etc is the host's: run this test in tools/device-sandbox");

    QVERIFY(m_dir.isValid());
    m_address = startBus(&m_busProcess, QStringLiteral("main"));
    QVERIFY(!m_address.isEmpty());
    // For the service processes started here; the bus tells activated ones itself.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    QVERIFY(QDBusConnection::connectToBus(m_address, QStringLiteral("test")).isConnected());
}

void TestSsuStandIn::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("test"));
    m_busProcess.terminate();
    m_busProcess.waitForFinished();
}

QString TestSsuStandIn::startBus(QProcess *process, const QString &name)
{
    const QString config = m_dir.filePath(name + QStringLiteral(".conf"));
    const QString address =
        QStringLiteral("unix:path=") + m_dir.filePath(name + QStringLiteral(".socket"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(QStringLiteral(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
        "Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>session</type><listen>%1</listen>"
        "<servicedir>%2</servicedir>"
        "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
        "</busconfig>\n")
                   .arg(address, QStringLiteral(SSU_SERVICE_DIR))
                   .toUtf8());
    file.close();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral("dbus-daemon"),
        {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
            QStringLiteral("--config-file=") + config});
    // The address is printed once the bus listens.
    while (!process->canReadLine()) {
        if (!process->waitForReadyRead(10000))
            return QString();
    }
    return address;
}

QDBusMessage TestSsuStandIn::callService(const QString &call)
{
    // The call log's form: words split by blanks, "" for an empty string, \xNN escapes.
    QStringList words = call.split(QLatin1Char(' '));
    for (QString &word : words) {
        if (word == QLatin1String("\"\""))
            word.clear();
        word.replace(QStringLiteral("\\x09"), QStringLiteral("\t"));
        word.replace(QStringLiteral("\\x20"), QStringLiteral(" "));
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
        ServiceName, QStringLiteral("/org/nemo/ssu"), ServiceName, words.takeFirst());
    if (message.member() == QLatin1String("modifyRepo"))
        message.setArguments({words.value(0).toInt(), words.value(1)});
    else if (message.member() == QLatin1String("setRelease"))
        message.setArguments({words.value(0), words.value(1) == QLatin1String("true")});
    return QDBusConnection(QStringLiteral("test")).call(message);
}

QStringList TestSsuStandIn::callLog() const
{
    return readFile(CallLogPath).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestSsuStandIn::configValues_data()
{
    QTest::addColumn<QString>("config");
    // "query=expected value" pairs.
    QTest::addColumn<QStringList>("checks");

    QTest::newRow("no file") << QString()
                             << QStringList {"release=", "deviceMode=4", "domain=default",
                                    "releaseDomain=", "registered=false", "scope=default",
                                    "credentials=|", "sslVerify=true", "sslClientCertAuth=false",
                                    "model="};
    QTest::newRow("every key")
        << QStringLiteral("[General]\nrelease=4.5.0.19\nrndRelease=devel\ndeviceMode=0x12\n"
                          "domain=acme\nregistered=Yes\nmodel=x1\nsslVerify=off\n"
                          "sslClientCertAuth=1\nsslClientCert=/c.pem\nsslClientKey=/k.pem\n"
                          "credentialsScope=store\nrndCredentialsScope=rnd\n"
                          "[domain-default]\nreleaseDomain=wrong.example\n"
                          "[domain-acme]\nreleaseDomain=releases.acme.example\n"
                          "[scopes]\nadaptation0=vendor\n"
                          "[credentials-default]\nusername=no\npassword=no\n"
                          "[credentials-store]\nusername=dev\npassword=\"  p,w=x \"\n")
        << QStringList {"release=4.5.0.19", "rndRelease=devel", "deviceMode=18", "domain=acme",
               "releaseDomain=releases.acme.example", "registered=true", "model=x1",
               "sslVerify=false", "sslClientCertAuth=true", "sslClientCert=/c.pem",
               "sslClientKey=/k.pem", "scope=store", "rndScope=rnd", "repoScope=vendor",
               "credentials=dev|  p,w=x "};
    QTest::newRow("fallbacks")
        << QStringLiteral("domain=acme\ncredentialsScope=store\ndeviceMode=rnd\nsslVerify=maybe\n"
                          "[domain-acme]\nother=1\n[domain-default]\nreleaseDomain=wrong\n")
        << QStringList {"releaseDomain=", "rndScope=store", "repoScope=store", "credentials=|",
               "deviceMode=4", "sslVerify=true"};
    QTest::newRow("syntax") << QStringLiteral(
                                   "model=x0\r\n  # release=9\n; release=8\n[other]\nrelease=7\n"
                                   "[General]\n  release  =  1  \n[General]\nrelease = 4.5.0.19\n")
                            << QStringList {"model=x0", "release=4.5.0.19"};
}

void TestSsuStandIn::configValues()
{
    QFETCH(QString, config);
    QFETCH(QStringList, checks);

    QVERIFY(writeConfig(config));
    for (const QString &check : qAsConst(checks)) {
        const int equals = check.indexOf(QLatin1Char('='));
        QCOMPARE(check.left(equals) + QLatin1Char('=') + query(check.left(equals)), check);
    }
}

void TestSsuStandIn::readsFreshEveryCall()
{
    Ssu ssu;
    SsuFeatureModel model;
    QVERIFY(writeConfig(QStringLiteral("release=4.5.0.19\nfeatures=a\n")));
    QCOMPARE(ssu.release(), QStringLiteral("4.5.0.19"));
    QCOMPARE(model.count(), 1);
    // Same size and, most likely, the same time stamp: only a real re-read sees the change.
    QVERIFY(writeConfig(QStringLiteral("release=4.5.0.20\nfeatures=b\n")));
    QCOMPARE(ssu.release(), QStringLiteral("4.5.0.20"));
    QCOMPARE(model.data(model.index(0, 0), Qt::UserRole).toString(), QStringLiteral("b"));
}

void TestSsuStandIn::setRelease_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("release");
    QTest::addColumn<bool>("rnd");
    QTest::addColumn<QString>("expectedFile");

    QTest::newRow("replaced in place")
        << QStringLiteral("# device\n[General]\nrelease=1.0\nmodel=x1\n\n[repositories]\nrepos=a\n")
        << QStringLiteral("2.0") << false
        << QStringLiteral(
               "# device\n[General]\nrelease=2.0\nmodel=x1\n\n[repositories]\nrepos=a\n");
    QTest::newRow("added to General without header")
        << QStringLiteral("model=x1\n[other]\nk=v\n") << QStringLiteral("devel") << true
        << QStringLiteral("model=x1\nrndRelease=devel\n[other]\nk=v\n");
    QTest::newRow("no file") << QString() << QStringLiteral("2.0") << false
                             << QStringLiteral("[General]\nrelease=2.0\n");
    QTest::newRow("the last duplicate, which readers see")
        << QStringLiteral("release=1\nrelease=2\n") << QStringLiteral("3") << false
        << QStringLiteral("release=1\nrelease=3\n");
    QTest::newRow("blanks kept by quoting") << QString() << QStringLiteral(" 2.0") << false
                                            << QStringLiteral("[General]\nrelease=\" 2.0\"\n");
    QTest::newRow("line break refused")
        << QStringLiteral("release=1\n") << QStringLiteral("2\n[General]\nregistered=true") << false
        << QStringLiteral("release=1\n");
}

void TestSsuStandIn::setRelease()
{
    QFETCH(QString, config);
    QFETCH(QString, release);
    QFETCH(bool, rnd);
    QFETCH(QString, expectedFile);

    QVERIFY(writeConfig(config));
    Ssu ssu;
    const QString before = ssu.release(rnd);
    ssu.setRelease(release, rnd);
    QCOMPARE(readFile(ConfigPath), expectedFile);
    QCOMPARE(ssu.release(rnd), release.contains(QLatin1Char('\n')) ? before : release);
}

void TestSsuStandIn::repos()
{
    QVERIFY(writeConfig(QStringLiteral("[repositories]\n"
                                       "repos=adaptation0, vendor, store, vendor\n"
                                       "disabled=vendor, ghost\n"
                                       "rndRepos=devel, adaptation0\n"
                                       "rndDisabled=adaptation0\n")));
    SsuRepoManager manager;
    QCOMPARE(manager.repos(false, 0), (QStringList {"adaptation0", "vendor", "store"}));
    QCOMPARE(manager.repos(false, 1), QStringList {"vendor"});
    QCOMPARE(manager.repos(false, 2), (QStringList {"adaptation0", "store"}));
    QCOMPARE(manager.repos(true, 2), QStringList {"devel"});
    QCOMPARE(manager.repos(false, 5), QStringList());
}

void TestSsuStandIn::features_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("configuration order, not sorted") << "features=b, A, c\n"
                                                     << QStringList {"b", "A", "c"};
    QTest::newRow("blanks inside names kept") << "features= a b ,c\n" << QStringList {"a b", "c"};
    QTest::newRow("empty items dropped") << "features=, a,,\n" << QStringList {"a"};
    QTest::newRow("none") << "model=x1\n" << QStringList();
}

void TestSsuStandIn::features()
{
    QFETCH(QString, config);
    QFETCH(QStringList, expected);

    QVERIFY(writeConfig(config));
    SsuFeatureModel model;
    QCOMPARE(model.count(), expected.size());
    QCOMPARE(model.rowCount(), expected.size());
    QStringList names;
    for (int row = 0; row < model.count(); ++row) {
        const QVariant name = model.data(model.index(row, 0), 256);
        QCOMPARE(name.userType(), int(QMetaType::QString));
        names << name.toString();
    }
    QCOMPARE(names, expected);
    QVERIFY(!model.data(model.index(expected.size(), 0), 256).isValid());
}

void TestSsuStandIn::credentialsDone_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<int>("duringCall");
    QTest::addColumn<int>("afterOneTurn");
    QTest::addColumn<int>("total");

    QTest::newRow("sync") << "credentialsUpdate=sync\n" << 1 << 1 << 1;
    QTest::newRow("async") << "credentialsUpdate=async\n" << 0 << 1 << 1;
    QTest::newRow("default is async") << "model=x1\n" << 0 << 1 << 1;
    QTest::newRow("unknown mode is async") << "credentialsUpdate=soon\n" << 0 << 1 << 1;
    QTest::newRow("delay") << "credentialsUpdate=200\n" << 0 << 0 << 1;
    QTest::newRow("never") << "credentialsUpdate=never\n" << 0 << 0 << 0;
}

void TestSsuStandIn::credentialsDone()
{
    QFETCH(QString, config);
    QFETCH(int, duringCall);
    QFETCH(int, afterOneTurn);
    QFETCH(int, total);

    QVERIFY(writeConfig(config));
    Ssu ssu;
    QSignalSpy spy(&ssu, &Ssu::done);
    ssu.updateCredentials();
    QCOMPARE(spy.count(), duringCall);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), afterOneTurn);
    if (total > spy.count())
        QVERIFY(spy.wait(5000));
    // Proves that done() comes exactly once, or never.
    QTest::qWait(300);
    QCOMPARE(spy.count(), total);
}

void TestSsuStandIn::serviceProcess()
{
    QDBusConnection bus(QStringLiteral("test"));
    QDBusServiceWatcher watcher(ServiceName, bus);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
    QSignalSpy unregistered(&watcher, &QDBusServiceWatcher::serviceUnregistered);

    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QStringLiteral(SSUD_EXECUTABLE), QStringList());
    QVERIFY(registered.wait(10000));

    // A second instance must not take over or linger.
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(QStringLiteral(SSUD_EXECUTABLE), QStringList());
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QVERIFY(second.exitCode() != 0);
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();
    QVERIFY(first.waitForFinished(10000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QTRY_COMPARE(unregistered.count(), 1);

    // A service whose bus has gone must end too.
    QProcess otherBus;
    const QString otherAddress = startBus(&otherBus, QStringLiteral("other"));
    QVERIFY(!otherAddress.isEmpty());
    QProcess orphan;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), otherAddress);
    orphan.setProcessEnvironment(environment);
    orphan.setProcessChannelMode(QProcess::ForwardedChannels);
    QDBusConnection otherConnection =
        QDBusConnection::connectToBus(otherAddress, QStringLiteral("other"));
    QDBusServiceWatcher otherWatcher(ServiceName, otherConnection);
    QSignalSpy otherRegistered(&otherWatcher, &QDBusServiceWatcher::serviceRegistered);
    orphan.start(QStringLiteral(SSUD_EXECUTABLE), QStringList());
    QVERIFY(otherRegistered.wait(10000));
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
    otherBus.terminate();
    QVERIFY(otherBus.waitForFinished(10000));
    QVERIFY(orphan.waitForFinished(10000));
}

void TestSsuStandIn::serviceRepoCalls_data()
{
    QTest::addColumn<QString>("config");
    // Calls as the call log shows them.
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<int>("refused");
    // Lists read back afterwards: all repositories of the mode, then the enabled ones.
    QTest::addColumn<bool>("rnd");
    QTest::addColumn<QStringList>("all");
    QTest::addColumn<QStringList>("enabled");

    const QString two = QStringLiteral("[repositories]\nrepos=a, b\ndisabled=b\n");
    const QString rndTwo = QStringLiteral("deviceMode=2\n") + two;
    const QStringList ab {"a", "b"};
    const QStringList a {"a"};
    QTest::newRow("the daemon's sequence")
        << QStringLiteral("[repositories]\nrepos=a\n")
        << QStringList {"modifyRepo 1 vendor", "modifyRepo 3 vendor", "modifyRepo 1 store",
               "modifyRepo 3 store", "updateRepos"}
        << 0 << false << QStringList {"a", "vendor", "store"}
        << QStringList {"a", "vendor", "store"};
    QTest::newRow("enable") << two << QStringList {"modifyRepo 3 b"} << 0 << false << ab << ab;
    QTest::newRow("disable") << two << QStringList {"modifyRepo 2 a"} << 0 << false << ab
                             << QStringList();
    QTest::newRow("adding a known one keeps it disabled")
        << two << QStringList {"modifyRepo 1 b"} << 0 << false << ab << a;
    QTest::newRow("a removed one comes back enabled")
        << two << QStringList {"modifyRepo 0 b", "modifyRepo 1 b"} << 0 << false << ab << ab;
    QTest::newRow("rnd mode edits the rnd list")
        << rndTwo << QStringList {"modifyRepo 1 devel"} << 0 << true << QStringList {"devel"}
        << QStringList {"devel"};
    QTest::newRow("rnd mode leaves the release list")
        << rndTwo << QStringList {"modifyRepo 1 devel"} << 0 << false << ab << a;
    QTest::newRow("unknown actions")
        << two << QStringList {"modifyRepo 4 a", "modifyRepo -1 a"} << 2 << false << ab << a;
    QTest::newRow("bad names") << two
                               << QStringList {"modifyRepo 1 \"\"", "modifyRepo 1 c,d",
                                      "modifyRepo 1 c\\x09d", "modifyRepo 1 c\\x20d"}
                               << 4 << false << ab << a;
    QTest::newRow("unknown repository")
        << two << QStringList {"modifyRepo 3 ghost", "modifyRepo 2 ghost"} << 2 << false << ab << a;
}

void TestSsuStandIn::serviceRepoCalls()
{
    QFETCH(QString, config);
    QFETCH(QStringList, calls);
    QFETCH(int, refused);
    QFETCH(bool, rnd);
    QFETCH(QStringList, all);
    QFETCH(QStringList, enabled);

    QVERIFY(writeConfig(config));
    QFile::remove(CallLogPath);
    int invalidArgs = 0;
    for (const QString &call : qAsConst(calls)) {
        const QDBusMessage reply = callService(call);
        QVERIFY2(reply.errorName().isEmpty() || reply.errorName() == InvalidArgs,
            qPrintable(reply.errorName()));
        invalidArgs += reply.type() == QDBusMessage::ErrorMessage;
    }
    QCOMPARE(invalidArgs, refused);
    QCOMPARE(callLog(), calls);
    QCOMPARE(SsuRepoManager().repos(rnd, 0), all);
    QCOMPARE(SsuRepoManager().repos(rnd, 2), enabled);
}

void TestSsuStandIn::serviceReleaseAndUpdate()
{
    QVERIFY(writeConfig(QStringLiteral("# keep me\nrelease=4.5.0.19\n")));
    QFile::remove(CallLogPath);
    // The first call starts the service through the built activation file.
    QVERIFY(!QDBusConnection(QStringLiteral("test")).interface()->isServiceRegistered(ServiceName));
    const QStringList calls {"setRelease 4.5.0.20 false", "setRelease devel true",
        "setRelease \"\" false", "updateRepos", "updateRepos"};
    QStringList errors;
    for (const QString &call : calls)
        errors << callService(call).errorName();
    QCOMPARE(errors, (QStringList {"", "", InvalidArgs, "", ""}));
    QCOMPARE(callLog(), calls);
    Ssu ssu;
    QCOMPARE(ssu.release(), QStringLiteral("4.5.0.20"));
    QCOMPARE(ssu.release(true), QStringLiteral("devel"));
    QCOMPARE(readFile(ConfigPath),
        QStringLiteral("# keep me\nrelease=4.5.0.20\nrndRelease=devel\n\n"
                       "[repositories]\nupdateCount=2\n"));

    // Wrong argument types are refused by the bus binding; the service keeps serving.
    QDBusMessage message = QDBusMessage::createMethodCall(
        ServiceName, QStringLiteral("/org/nemo/ssu"), ServiceName, QStringLiteral("modifyRepo"));
    message.setArguments({QStringLiteral("1"), QStringLiteral("a")});
    QCOMPARE(
        QDBusConnection(QStringLiteral("test")).call(message).type(), QDBusMessage::ErrorMessage);
    QCOMPARE(callService(QStringLiteral("updateRepos")).type(), QDBusMessage::ReplyMessage);
}

QTEST_GUILESS_MAIN(TestSsuStandIn)

#include "tst_ssustandin.moc"
