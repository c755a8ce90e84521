// The SSU wrapper against the device's SSU stand-in: the library reads the device's
// configuration, the session-bus service changes it and logs every call it gets.
#include "ssuintegration.h"
#include "ssusettings.h"

#include <QTest>

using namespace Corvane;

class TestSsuIntegration : public QObject
{
    Q_OBJECT

private slots:
    // Each device ends its credentials update differently, as SSU may: inside the call, from
    // the next event-loop turn (the default) or later.
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
        typical.credentialsUpdate = QStringLiteral("sync");
        typical.credentialsScope = QStringLiteral("store");
        typical.username = QStringLiteral("device-1");
        typical.password = QStringLiteral(" s3cret ");
        QTest::newRow("typical") << typical << "tessaro-configuration-x1"
                                 << QStringList {"Store", "maps", "vendor big apps"}
                                 << "Store-maps-vendor_big_apps" << false;
        SsuSettings research;
        research.model.clear();
        research.domain = QStringLiteral("other");
        research.deviceMode = 6;
        QTest::newRow("domain without the key, research mode")
            << research << "tessaro-configuration-" << QStringList() << "" << true;
        // Of SSU's mode flags only one means research: 4 is release mode.
        SsuSettings release;
        release.deviceMode = 4;
        release.credentialsUpdate = QStringLiteral("30");
        QTest::newRow("release mode")
            << release << "tessaro-configuration-x1" << QStringList() << "" << false;
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
        const QString scope = ssu.credentialsScope(QStringLiteral("adaptation0"), false);
        QCOMPARE(scope, device.credentialsScope);
        QCOMPARE(ssu.credentials(scope), qMakePair(device.username, device.password));
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
        QCOMPARE(SsuSettings::calls(), expected);
        if (!repos.isEmpty())
            QCOMPARE(ssu.repos(), repos);
    }
};

QTEST_GUILESS_MAIN(TestSsuIntegration)
#include "tst_ssuintegration.moc"
