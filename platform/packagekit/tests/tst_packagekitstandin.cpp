// The PackageKit stand-in as the real PackageKit-Qt library sees it: each call the daemon makes,
// the signals that come back and their order, the queue, cancellation, faults and foreign
// transactions. Runs on the simulated device, which starts the stand-in by bus activation.

#include <PackageKit/Daemon>
#include <PackageKit/Details>
#include <PackageKit/Transaction>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <optional>

using PackageKit::Daemon;
using PackageKit::Transaction;

namespace {

const QString Service = QStringLiteral("org.freedesktop.PackageKit");

// "store" starts disabled; release 2.0 updates config and kernel, adds newlib, drops legacy.
const char BaseState[] = R"({
  "release": "2.0",
  "repositories": [
    {"id": "adaptation", "description": "Hardware adaptation"},
    {"id": "os", "description": "Operating system"},
    {"id": "store", "description": "Store", "enabled": false}
  ],
  "installed": [
    {"id": "config;1.0;noarch;os", "installed_size": 100},
    {"id": "kernel;1.0;armv7hl;adaptation", "installed_size": 1000},
    {"id": "legacy;0.9;armv7hl;os", "installed_size": 300},
    "game;2.0;armv7hl;store"
  ],
  "releases": {
    "2.0": {
      "packages": {
        "os": [{"id": "config;2.0;noarch", "size": 10, "installed_size": 110},
               {"id": "newlib;1.0;armv7hl", "size": 50, "installed_size": 200}],
        "adaptation": [{"id": "kernel;2.0;armv7hl", "size": 500, "installed_size": 1200}],
        "store": ["game;2.1;armv7hl"]
      },
      "adds": ["newlib"],
      "obsoletes": ["legacy"]
    },
    "3.0": {"packages": {"os": ["config;3.0;noarch"]}}
  },
  "durations": {"default": 0.02, "download": 0.5, "destroy": 0.2}
})";

template<typename E>
QString key(E value)
{
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(value));
}

// Everything one library transaction reports, as lines in arrival order. The library deletes
// the transaction after finished(), so it is only held through a QPointer.
class Recorder : public QObject
{
public:
    explicit Recorder(
        Transaction *tx, QStringList *finishOrder = nullptr, const QString &name = QString())
        : tx(tx)
    {
        connect(tx, &Transaction::package, this,
            [this](Transaction::Info info, const QString &id, const QString &) {
                events << QStringLiteral("package %1 %2").arg(key(info), id);
            });
        connect(tx, &Transaction::details, this, [this](const PackageKit::Details &values) {
            events << QStringLiteral("details %1 %2").arg(values.packageId()).arg(values.size());
        });
        connect(tx, &Transaction::repoDetail, this,
            [this](const QString &id, const QString &description, bool enabled) {
                events << QStringLiteral("repo %1 %2 %3")
                              .arg(id, description, enabled ? "true" : "false");
            });
        connect(tx, &Transaction::errorCode, this,
            [this](Transaction::Error error, const QString &details) {
                events << QStringLiteral("error %1 %2").arg(key(error), details);
            });
        connect(tx, &Transaction::finished, this,
            [this, finishOrder, name](Transaction::Exit status, uint) {
                events << QStringLiteral("finished %1").arg(key(status));
                exit = status;
                if (finishOrder)
                    *finishOrder << name;
            });
        connect(tx, &Transaction::percentageChanged, this, [this] {
            if (this->tx)
                progress << qMakePair(this->tx->status(), this->tx->percentage());
        });
    }

    bool waitFinished(int timeout = 15000)
    {
        return QTest::qWaitFor(
            [this] {
                return exit.has_value();
            },
            timeout);
    }

    QList<uint> downloadPercentages() const
    {
        QList<uint> out;
        for (const auto &entry : progress) {
            if (entry.first == Transaction::StatusDownload)
                out << entry.second;
        }
        return out;
    }

    QPointer<Transaction> tx;
    QStringList events;
    QVector<QPair<Transaction::Status, uint>> progress;
    std::optional<Transaction::Exit> exit;
};

using Starter = std::function<Transaction *()>;

} // namespace

Q_DECLARE_METATYPE(Starter)

class TestPackageKitStandin : public QObject
{
    Q_OBJECT

private:
    // Plain messages: a QDBusInterface would introspect, and so start the stand-in, at once.
    static QDBusMessage control(const QString &method, const QVariantList &args = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service,
            QStringLiteral("/org/corvane/PackageKitControl"),
            QStringLiteral("org.corvane.PackageKitControl"), method);
        message.setArguments(args);
        return QDBusConnection::systemBus().call(message);
    }

    bool standinActivatable()
    {
        const QStringList names =
            QDBusConnection::systemBus().interface()->activatableServiceNames().value();
        return names.contains(Service);
    }

    void configure(const QByteArray &json)
    {
        const QDBusMessage reply = control(QStringLiteral("Configure"), {QString::fromUtf8(json)});
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    }

    QStringList calls()
    {
        return QDBusReply<QStringList>(control(QStringLiteral("GetCalls"))).value();
    }

    QJsonObject state()
    {
        const QDBusReply<QString> reply = control(QStringLiteral("GetState"));
        return QJsonDocument::fromJson(reply.value().toUtf8()).object();
    }

    static Transaction *download()
    {
        return Daemon::upgradeSystem(QStringLiteral("config"), Transaction::UpgradeKindMinimal,
            Transaction::TransactionFlagOnlyTrusted);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SANDBOX_STATE"))
            QSKIP("needs the simulated device (tools/device-sandbox/device-sandbox)");
        if (!standinActivatable())
            return; // only reportsMissingService runs on such a bus
        // The activation file names this path; the device's /etc is private to this run.
        QVERIFY(QDir().mkpath(QFileInfo(QStringLiteral(PACKAGEKIT_STANDIN_STATE)).path()));
        QFile file(QStringLiteral(PACKAGEKIT_STANDIN_STATE));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(BaseState) == qint64(sizeof(BaseState) - 1));
        file.close();

        // The first call starts the stand-in, which reads the file.
        Recorder list(Daemon::getRepoList());
        QVERIFY(list.waitFinished());
        QCOMPARE(list.events.size(), 4);
        QCOMPARE(list.events.at(2), QStringLiteral("repo store Store false"));
        QTRY_COMPARE(Daemon::backendName(), QStringLiteral("standin"));
        QVERIFY(Daemon::roles() & Transaction::RoleUpgradeSystem);
        QVERIFY(Daemon::roles() & Transaction::RoleRepoEnable);
    }

    void init()
    {
        if (!standinActivatable()) {
            if (QTest::currentTestFunction() != QByteArray("reportsMissingService"))
                QSKIP("no PackageKit stand-in on this bus");
            return;
        }
        QDBusMessage reply = control(QStringLiteral("LoadState"), {QString::fromUtf8(BaseState)});
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        control(QStringLiteral("ClearCalls"));
    }

    void answersQueries_data()
    {
        QTest::addColumn<Starter>("start");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QStringList>("events");

        const auto simulate =
            Transaction::TransactionFlagOnlyTrusted | Transaction::TransactionFlagSimulate;
        QTest::newRow("size query") << Starter([=] {
            return Daemon::upgradeSystem(QStringLiteral("ext::query-sizes:config"),
                Transaction::UpgradeKindComplete, simulate);
        }) << "UpgradeSystem 6 ext::query-sizes:config 3"
                                    << QStringList {"details ::DOWNLOAD 560",
                                           "details ::INSTALL 1510", "details ::REMOVE 1400",
                                           "finished ExitSuccess"};
        QTest::newRow("simulated upgrade")
            << Starter([=] {
                   return Daemon::upgradeSystem(
                       QStringLiteral("config"), Transaction::UpgradeKindComplete, simulate);
               })
            << "UpgradeSystem 6 config 3"
            << QStringList {"package InfoUpdating config;2.0;noarch;os",
                   "package InfoUpdating kernel;2.0;armv7hl;adaptation",
                   "package InfoInstalling newlib;1.0;armv7hl;os",
                   "package InfoRemoving legacy;0.9;armv7hl;installed", "finished ExitSuccess"};
        QTest::newRow("resolve naming repositories")
            << Starter([] {
                   return Daemon::resolve({"ext::data:repo", "kernel", "game", "missing"},
                       Transaction::FilterNotSource);
               })
            << "Resolve 2097152 ext::data:repo,kernel,game,missing"
            << QStringList {"package InfoInstalled kernel;1.0;armv7hl;adaptation",
                   "package InfoAvailable kernel;2.0;armv7hl;adaptation",
                   "package InfoInstalled game;2.0;armv7hl;store", "finished ExitSuccess"};
        QTest::newRow("plain resolve")
            << Starter([] {
                   return Daemon::resolve(QStringList {"kernel"});
               })
            << "Resolve 2 kernel"
            << QStringList {"package InfoInstalled kernel;1.0;armv7hl;installed",
                   "package InfoAvailable kernel;2.0;armv7hl;adaptation", "finished ExitSuccess"};
        QTest::newRow("repository list") << Starter([] {
            return Daemon::getRepoList(Transaction::FilterNone);
        }) << "GetRepoList 2"
                                         << QStringList {"repo adaptation Hardware adaptation true",
                                                "repo os Operating system true",
                                                "repo store Store false", "finished ExitSuccess"};
        QTest::newRow("details") << Starter([] {
            return Daemon::getDetails(QStringLiteral("kernel;2.0;armv7hl;adaptation"));
        }) << "GetDetails kernel;2.0;armv7hl;adaptation"
                                 << QStringList {"details kernel;2.0;armv7hl;adaptation 500",
                                        "finished ExitSuccess"};
        QTest::newRow("forced refresh") << Starter([] {
            return Daemon::refreshCache(true);
        }) << "RefreshCache true" << QStringList {"finished ExitSuccess"};
        QTest::newRow("unknown repository")
            << Starter([] {
                   return Daemon::repoEnable(QStringLiteral("nowhere"), true);
               })
            << "RepoEnable nowhere true"
            << QStringList {
                   "error ErrorRepoNotFound Repository nowhere not found", "finished ExitFailed"};
        QTest::newRow("configuration package not offered")
            << Starter([=] {
                   return Daemon::upgradeSystem(
                       QStringLiteral("other"), Transaction::UpgradeKindComplete, simulate);
               })
            << "UpgradeSystem 6 other 3"
            << QStringList {"error ErrorPackageNotFound other is not offered by the enabled "
                            "repositories of release 2.0",
                   "finished ExitFailed"};
    }

    void answersQueries()
    {
        QFETCH(Starter, start);
        QFETCH(QString, call);
        QFETCH(QStringList, events);

        Recorder recorder(start());
        QVERIFY(recorder.waitFinished());
        QCOMPARE(recorder.events, events);
        QCOMPARE(calls(), QStringList {call});
    }

    void runsTransactionsInRequestOrder()
    {
        // Issued together; each must see the repository state the earlier ones left, although
        // the later ones would finish first if they ran beside the earlier ones.
        configure(R"({"durations": {"RepoEnable": 0.3, "Resolve": 0.01}})");
        QStringList finishOrder;
        Recorder enable(Daemon::repoEnable(QStringLiteral("store"), true), &finishOrder, "enable");
        Recorder withStore(Daemon::resolve(QStringList {"game"}, Transaction::FilterNotInstalled),
            &finishOrder, "resolve");
        Recorder disable(
            Daemon::repoEnable(QStringLiteral("store"), false), &finishOrder, "disable");
        Recorder withoutStore(
            Daemon::resolve(QStringList {"game"}, Transaction::FilterNotInstalled), &finishOrder,
            "resolve again");
        QVERIFY(withoutStore.waitFinished());

        QCOMPARE(finishOrder, (QStringList {"enable", "resolve", "disable", "resolve again"}));
        QCOMPARE(withStore.events,
            (QStringList {"package InfoAvailable game;2.1;armv7hl;store", "finished ExitSuccess"}));
        QCOMPARE(withoutStore.events, QStringList {"finished ExitSuccess"});
        QCOMPARE(calls(),
            (QStringList {"RepoEnable store true", "Resolve 8 game", "RepoEnable store false",
                "Resolve 8 game"}));
    }

    void followsTheReleaseOfTheSsuConfiguration()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/ssu")));
        auto simulateWith = [](const QByteArray &ini) -> QStringList {
            QFile file(QStringLiteral("/etc/ssu/ssu.ini"));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(ini) != ini.size())
                return {"cannot write ssu.ini"};
            file.close();
            Recorder recorder(Daemon::upgradeSystem(QStringLiteral("config"),
                Transaction::UpgradeKindComplete,
                Transaction::TransactionFlagOnlyTrusted | Transaction::TransactionFlagSimulate));
            recorder.waitFinished();
            return recorder.events;
        };
        configure(R"({"release": "", "release_file": "/etc/ssu/ssu.ini"})");
        QCOMPARE(simulateWith("[General]\nrelease = 3.0\n"),
            (QStringList {"package InfoUpdating config;3.0;noarch;os", "finished ExitSuccess"}));
        QCOMPARE(simulateWith("release=1.0\n").last(), QStringLiteral("finished ExitFailed"));
    }

    void downloadsWithoutInstalling()
    {
        Recorder recorder(download());
        QVERIFY(recorder.waitFinished());

        QCOMPARE(recorder.events,
            (QStringList {"package InfoDownloading config;2.0;noarch;os",
                "package InfoDownloading kernel;2.0;armv7hl;adaptation",
                "package InfoDownloading newlib;1.0;armv7hl;os", "finished ExitSuccess"}));
        // The library reads the value when the queued change arrives: steps may merge, and
        // the last ones may be lost with the transaction.
        const QList<uint> percentages = recorder.downloadPercentages();
        QVERIFY(std::is_sorted(percentages.begin(), percentages.end()));
        const QSet<uint> distinct(percentages.begin(), percentages.end());
        QVERIFY2(distinct.size() >= 3, qPrintable(QString::number(distinct.size())));
        QVERIFY(percentages.last() <= 100);
        QCOMPARE(calls(), QStringList {"UpgradeSystem 2 config 1"});

        const QJsonObject after = state();
        QCOMPARE(after.value("downloaded").toVariant().toStringList(),
            (QStringList {
                "config;2.0;noarch;os", "kernel;2.0;armv7hl;adaptation", "newlib;1.0;armv7hl;os"}));
        QCOMPARE(after.value("installed").toArray().first().toObject().value("id").toString(),
            QStringLiteral("config;1.0;noarch;os"));
    }

    void cancels_data()
    {
        QTest::addColumn<bool>("queued");
        QTest::newRow("running download") << false;
        QTest::newRow("queued behind a download") << true;
    }

    void cancels()
    {
        QFETCH(bool, queued);
        configure(R"({"durations": {"download": 30}})");

        Recorder running(download());
        QTRY_VERIFY(!running.downloadPercentages().isEmpty());
        Recorder waiting(Daemon::refreshCache(false));
        QTRY_COMPARE(calls().size(), 2);

        Recorder &victim = queued ? waiting : running;
        victim.tx->cancel().waitForFinished();
        QVERIFY(victim.waitFinished());
        QCOMPARE(victim.events.mid(victim.events.size() - 2),
            (QStringList {"error ErrorTransactionCancelled The task was cancelled",
                "finished ExitCancelled"}));
        if (queued) {
            QVERIFY(!running.exit);
            running.tx->cancel().waitForFinished();
            QVERIFY(running.waitFinished());
            QCOMPARE(calls().mid(2), (QStringList {"Cancel RefreshCache", "Cancel UpgradeSystem"}));
        } else {
            QVERIFY(waiting.waitFinished());
            QCOMPARE(waiting.events, QStringList {"finished ExitSuccess"});
            QCOMPARE(calls().mid(2), QStringList {"Cancel UpgradeSystem"});
        }
    }

    void injectsFaults_data()
    {
        QTest::addColumn<QByteArray>("faults");
        QTest::addColumn<QList<int>>("exits");
        QTest::addColumn<QString>("error");
        QTest::addColumn<uint>("maxPercentage");

        QTest::newRow("two failures, then success")
            << QByteArray(R"([{"match": "^UpgradeSystem 2 ", "error": "PackageDownloadFailed",
                                   "details": "mirror gone", "times": 2}])")
            << QList<int> {Transaction::ExitFailed, Transaction::ExitFailed,
                   Transaction::ExitSuccess}
            << "error ErrorPackageDownloadFailed mirror gone" << 100u;
        QTest::newRow("failure at 40 percent")
            << QByteArray(R"([{"match": "^UpgradeSystem", "error": "no-network",
                                   "details": "link down", "at_percent": 40}])")
            << QList<int> {Transaction::ExitFailed} << "error ErrorNoNetwork link down" << 40u;
        QTest::newRow("other exit status")
            << QByteArray(R"([{"match": "config", "error": 4, "exit": "killed"}])")
            << QList<int> {Transaction::ExitKilled, Transaction::ExitKilled}
            << "error ErrorInternalError Simulated failure" << 100u;
        QTest::newRow("fault for another call")
            << QByteArray(R"([{"match": "^UpgradeSystem 6 "}])")
            << QList<int> {Transaction::ExitSuccess} << QString() << 100u;
    }

    void injectsFaults()
    {
        QFETCH(QByteArray, faults);
        QFETCH(QList<int>, exits);
        QFETCH(QString, error);
        QFETCH(uint, maxPercentage);
        configure("{\"faults\": " + faults + "}");

        for (int attempt = 0; attempt < exits.size(); ++attempt) {
            Recorder recorder(download());
            QVERIFY(recorder.waitFinished());
            QCOMPARE(int(*recorder.exit), exits.at(attempt));
            if (*recorder.exit != Transaction::ExitSuccess)
                QCOMPARE(recorder.events.mid(recorder.events.size() - 2, 1), QStringList {error});
            for (uint percentage : recorder.downloadPercentages())
                QVERIFY(percentage <= maxPercentage);
        }
    }

    void foreignTransactionQueuesBehindTheDownload()
    {
        configure(R"({"durations": {"download": 30},
                      "foreign": [{"role": "install-packages", "after": 0.2, "duration": 0.3}]})");
        QSignalSpy lists(Daemon::global(), &Daemon::transactionListChanged);

        Recorder own(download());
        QTRY_COMPARE(lists.size(), 2);
        const QStringList both = lists.at(1).at(0).toStringList();
        QCOMPARE(both.size(), 2);
        QCOMPARE(lists.at(0).at(0).toStringList(), QStringList {both.first()});
        const QList<QDBusObjectPath> listed = Daemon::getTransactionList().value();
        QCOMPARE(listed.size(), 2);
        QCOMPARE(listed.last().path(), both.last());

        // What the daemon does with the newest entry of the list.
        QPointer<Transaction> observer = new Transaction(QDBusObjectPath(both.last()));
        QTRY_COMPARE(observer->role(), Transaction::RoleInstallPackages);
        delete observer.data();

        own.tx->cancel().waitForFinished();
        QVERIFY(own.waitFinished());
        QCOMPARE(*own.exit, Transaction::ExitCancelled);
        QTRY_VERIFY(!lists.isEmpty() && lists.last().at(0).toStringList().isEmpty());
        QCOMPARE(lists.at(2).at(0).toStringList(), QStringList {both.last()});
        QCOMPARE(lists.size(), 4);
    }

    void rejectsBadScenarios_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("message");

        QTest::newRow("misspelt key") << QByteArray(R"({"fault": []})") << "unknown key(s) fault";
        QTest::newRow("installed id without repository")
            << QByteArray(R"({"installed": ["a;1;noarch"]})")
            << "installed[0]: 'a;1;noarch': an installed package is name;version;arch;repository";
        QTest::newRow("unknown error name")
            << QByteArray(R"({"faults": [{"match": "x", "error": "Oops"}]})")
            << "faults[0].error: Error: unknown value 'Oops'";
        QTest::newRow("bad expression")
            << QByteArray("{\"foreign\": [{\"role\": 11, \"during\": \"[\"}]}")
            << "foreign[0].during: bad regular expression";
        QTest::newRow("not JSON") << QByteArray("{") << "Not JSON";
    }

    void rejectsBadScenarios()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, message);
        const QJsonObject before = state();

        const QDBusMessage reply =
            control(QStringLiteral("Configure"), {QString::fromUtf8(document)});
        QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
        QVERIFY2(reply.errorMessage().contains(message), qPrintable(reply.errorMessage()));
        QCOMPARE(state(), before);
    }

    void transactionObjectEndsWithDestroy()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        const QDBusReply<QDBusObjectPath> created = bus.call(QDBusMessage::createMethodCall(
            Service, "/org/freedesktop/PackageKit", Service, "CreateTransaction"));
        QVERIFY2(created.isValid(), qPrintable(created.error().message()));
        const QString path = created.value().path();
        const QString iface = QStringLiteral("org.freedesktop.PackageKit.Transaction");

        QDBusInterface properties(Service, path, "org.freedesktop.DBus.Properties", bus);
        const QVariantMap before =
            QDBusReply<QVariantMap>(properties.call("GetAll", iface)).value();
        QCOMPARE(before.value("Role").toUInt(), uint(Transaction::RoleUnknown));
        QCOMPARE(before.value("Percentage").toUInt(), 101u);
        QCOMPARE(before.value("AllowCancel").toBool(), true);

        QSignalSpy finishedSpy(this, SIGNAL(busFinished()));
        QSignalSpy destroySpy(this, SIGNAL(busDestroy()));
        QVERIFY(bus.connect(Service, path, iface, "Finished", this, SIGNAL(busFinished())));
        QVERIFY(bus.connect(Service, path, iface, "Destroy", this, SIGNAL(busDestroy())));
        QDBusInterface tx(Service, path, iface, bus);
        QVERIFY(tx.call("RefreshCache", true).type() == QDBusMessage::ReplyMessage);

        QVERIFY(destroySpy.wait());
        QCOMPARE(finishedSpy.size(), 1);
        QCOMPARE(properties.call("GetAll", iface).type(), QDBusMessage::ErrorMessage);
        bus.disconnect(Service, path, iface, "Finished", this, SIGNAL(busFinished()));
        bus.disconnect(Service, path, iface, "Destroy", this, SIGNAL(busDestroy()));
    }

    void reportsMissingService()
    {
        if (standinActivatable())
            QSKIP("the bus can start the stand-in: corvane-packagekit-absent runs this case");
        Recorder recorder(Daemon::getRepoList());
        QVERIFY(recorder.waitFinished());
        QVERIFY2(recorder.events.size() == 2 && recorder.events.first().startsWith("error "),
            qPrintable(recorder.events.join('\n')));
        QCOMPARE(recorder.events.last(), QStringLiteral("finished ExitFailed"));
    }

Q_SIGNALS:
    void busFinished();
    void busDestroy();
};

QTEST_GUILESS_MAIN(TestPackageKitStandin)
#include "tst_packagekitstandin.moc"
