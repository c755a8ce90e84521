// The SSU wrapper against the device's SSU stand-in: the library reads the device's
// configuration, the session-bus service changes it and logs every call it gets.
#include "fileio.h"
#include "ssuintegration.h"
#include "ssusettings.h"

#include <QTest>

using namespace Corvane;

namespace {

QStringList calls()
{
    return QString::fromUtf8(readFile(QStringLiteral("/etc/ssu/calls.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestSsuIntegration : public QObject
{
    Q_OBJECT

private slots:
    void readsTheDevice_data()
    {
        QTest::addColumn<SsuSettings>("device");
        QTest::addColumn<QString>("configurationName");
        QTest::addColumn<QStringList>("features");
        QTest::addColumn<QString>("featuresString");
        QTest::addColumn<bool>("rnd");

        SsuSettings typical(QStringLiteral("r.example"));
        typical.domain = QStringLiteral("tessaro");
        typical.features = QStringLiteral("vendor big apps, Store, maps");
        QTest::newRow("typical") << typical << "tessaro-configuration-x1"
                                 << QStringList {"Store", "maps", "vendor big apps"}
                                 << "Store-maps-vendor_big_apps" << false;
        SsuSettings research;
        research.model.clear();
        research.domain = QStringLiteral("other");
        research.deviceMode = 6;
        QTest::newRow("domain without the key, research mode")
            << research << "tessaro-configuration-" << QStringList() << "" << true;
    }

    void readsTheDevice()
    {
        QFETCH(SsuSettings, device);
        QFETCH(QString, configurationName);
        QFETCH(QStringList, features);
        QFETCH(QString, featuresString);
        QFETCH(bool, rnd);

        device.write();
        SsuIntegration ssu;
        QCOMPARE(ssu.configurationName(), configurationName);
        QCOMPARE(ssu.releaseDomain(), device.releaseDomain);
        QCOMPARE(ssu.featuresString(), featuresString);
        QCOMPARE(ssu.features(), features);
        QCOMPARE(ssu.deviceModeFlag(), rnd);
    }

    void modifiesRepositoriesInOrder_data()
    {
        QTest::addColumn<QStringList>("repos");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << QStringList() << QStringList {"updateRepos"};
        QTest::newRow("two") << QStringList {"adaptation0", "vendor"}
                             << QStringList {"modifyRepo 1 adaptation0", "modifyRepo 3 adaptation0",
                                    "modifyRepo 1 vendor", "modifyRepo 3 vendor", "updateRepos"};
    }

    void modifiesRepositoriesInOrder()
    {
        QFETCH(QStringList, repos);
        QFETCH(QStringList, expected);

        SsuSettings device;
        device.repos = QStringLiteral("adaptation0, vendor");
        device.disabledRepos = QStringLiteral("vendor");
        device.write();
        SsuIntegration ssu;
        QCOMPARE(ssu.repos(), QStringList {QStringLiteral("adaptation0")});
        ssu.modifyRepos(repos);
        QCOMPARE(calls(), expected);
        if (!repos.isEmpty())
            QCOMPARE(ssu.repos(), repos);
    }

    // SSU may announce the end of a credentials update during the call or from the event loop.
    void readsCredentialsWhenSsuIsDone_data()
    {
        QTest::addColumn<QByteArray>("when");
        QTest::newRow("synchronously") << QByteArray("sync");
        QTest::newRow("next turn") << QByteArray("async");
        QTest::newRow("later") << QByteArray("30");
    }

    void readsCredentialsWhenSsuIsDone()
    {
        QFETCH(QByteArray, when);
        SsuSettings device;
        device.credentialsUpdate = QString::fromLatin1(when);
        device.credentialsScope = QStringLiteral("store");
        device.username = QStringLiteral("device-1");
        device.password = QStringLiteral(" s3cret ");
        device.write();
        SsuIntegration ssu;
        const QString scope = ssu.credentialsScope(QStringLiteral("adaptation0"), false);
        QCOMPARE(scope, QStringLiteral("store"));
        QCOMPARE(ssu.credentials(scope),
            qMakePair(QStringLiteral("device-1"), QStringLiteral(" s3cret ")));
    }
};

QTEST_GUILESS_MAIN(TestSsuIntegration)
#include "tst_ssuintegration.moc"
