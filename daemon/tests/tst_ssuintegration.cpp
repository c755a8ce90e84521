// The SSU wrapper against the device's SSU stand-in: the library reads the device's
// configuration, the session-bus service changes it and logs every call it gets.
#include "ssuintegration.h"

#include <QFile>
#include <QTest>

using namespace Corvane;

namespace {

const QString CallLog = QStringLiteral("/etc/ssu/calls.log");

void writeConfig(const QByteArray &content)
{
    QFile file(QStringLiteral("/etc/ssu/ssu.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    QFile::remove(CallLog);
}

QStringList calls()
{
    QFile file(CallLog);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestSsuIntegration : public QObject
{
    Q_OBJECT

private slots:
    void readsTheDevice_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("configurationName");
        QTest::addColumn<QString>("releaseDomain");
        QTest::addColumn<QStringList>("features");
        QTest::addColumn<QString>("featuresString");
        QTest::addColumn<bool>("rnd");

        QTest::newRow("typical") << QByteArray("[General]\nmodel = x1\ndomain = tessaro\n"
                                               "features = vendor big apps, Store, maps\n"
                                               "[domain-tessaro]\nreleaseDomain = r.example\n")
                                 << "tessaro-configuration-x1"
                                 << "r.example" << QStringList {"Store", "maps", "vendor big apps"}
                                 << "Store-maps-vendor_big_apps" << false;
        QTest::newRow("domain without the key, research mode")
            << QByteArray("[General]\ndomain = other\ndeviceMode = 6\n[domain-other]\nx = y\n")
            << "tessaro-configuration-"
            << "" << QStringList() << "" << true;
    }

    void readsTheDevice()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, configurationName);
        QFETCH(QString, releaseDomain);
        QFETCH(QStringList, features);
        QFETCH(QString, featuresString);
        QFETCH(bool, rnd);

        writeConfig(config);
        SsuIntegration ssu;
        QCOMPARE(ssu.configurationName(), configurationName);
        QCOMPARE(ssu.releaseDomain(), releaseDomain);
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

        writeConfig("[repositories]\nrepos = adaptation0, vendor\ndisabled = vendor\n");
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
        writeConfig("[General]\ncredentialsUpdate = " + when +
            "\ncredentialsScope = store\n[credentials-store]\nusername = device-1\n"
            "password = \" s3cret \"\n");
        SsuIntegration ssu;
        const QString scope = ssu.credentialsScope(QStringLiteral("adaptation0"), false);
        QCOMPARE(scope, QStringLiteral("store"));
        QCOMPARE(ssu.credentials(scope),
            qMakePair(QStringLiteral("device-1"), QStringLiteral(" s3cret ")));
    }
};

QTEST_GUILESS_MAIN(TestSsuIntegration)
#include "tst_ssuintegration.moc"
