// The SSU wrapper against the device's SSU stand-in: the library reads the device's
// configuration, the session-bus service changes it and logs every call it gets.
#include "ssuintegration.h"

#include <QFile>
#include <QTest>

using namespace Corvane;

namespace {

const QString ConfigPath = QStringLiteral("/etc/ssu/ssu.ini");
const QString CallLog = QStringLiteral("/etc/ssu/calls.log");

void writeConfig(const QByteArray &content)
{
    QFile file(ConfigPath);
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
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("configurationName");
        QTest::addColumn<QString>("releaseDomain");
        QTest::addColumn<QStringList>("features");
        QTest::addColumn<QString>("featuresString");
        QTest::addColumn<bool>("rnd");

        QTest::newRow("typical") << QByteArray("[General]\nmodel = x1\ndomain = tessaro\n"
                                               "features = vendor apps, Store, maps\n"
                                               "[domain-tessaro]\nreleaseDomain = r.example\n")
                                 << "x1"
                                 << "tessaro-configuration-x1"
                                 << "r.example" << QStringList {"Store", "maps", "vendor apps"}
                                 << "Store-maps-vendor_apps" << false;
        QTest::newRow("domain without the key")
            << QByteArray("[General]\ndomain = other\ndeviceMode = 6\n[domain-other]\nx = y\n")
            << ""
            << "tessaro-configuration-"
            << "" << QStringList() << "" << true;
        QTest::newRow("no configuration at all") << QByteArray() << ""
                                                 << "tessaro-configuration-"
                                                 << "" << QStringList() << "" << false;
        QTest::newRow("blanks inside names")
            << QByteArray("[General]\nfeatures = b c d, a b\ndeviceMode = 0x2\n") << ""
            << "tessaro-configuration-"
            << "" << QStringList {"a b", "b c d"} << "a_b-b_c_d" << true;
    }

    void readsTheDevice()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, model);
        QFETCH(QString, configurationName);
        QFETCH(QString, releaseDomain);
        QFETCH(QStringList, features);
        QFETCH(QString, featuresString);
        QFETCH(bool, rnd);

        writeConfig(config);
        SsuIntegration ssu;
        QCOMPARE(ssu.deviceModel(), model);
        QCOMPARE(ssu.configurationName(), configurationName);
        QCOMPARE(ssu.releaseDomain(), releaseDomain);
        QCOMPARE(ssu.features(), features);
        QCOMPARE(ssu.featuresString(), featuresString);
        QCOMPARE(ssu.deviceModeFlag(), rnd);
    }

    void switchesTheRelease()
    {
        writeConfig("[General]\nrelease = 4.0.0\n");
        SsuIntegration ssu;
        QCOMPARE(ssu.release(), QStringLiteral("4.0.0"));
        ssu.setRelease(QStringLiteral("4.1.0"));
        QCOMPARE(ssu.release(), QStringLiteral("4.1.0"));
        QCOMPARE(calls(), QStringList {QStringLiteral("setRelease 4.1.0 false")});
        // Another user sees the change: all state lives in SSU.
        QCOMPARE(SsuIntegration().release(), QStringLiteral("4.1.0"));
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
        const QPair<QString, QString> credentials = ssu.credentials(scope);
        QCOMPARE(credentials.first, QStringLiteral("device-1"));
        QCOMPARE(credentials.second, QStringLiteral(" s3cret "));
    }

    void tlsSettings()
    {
        writeConfig("[General]\nsslVerify = no\nsslClientCertAuth = yes\nregistered = true\n"
                    "sslClientCert = /etc/ssu/c.pem\nsslClientKey = /etc/ssu/c.key\n");
        SsuIntegration ssu;
        QVERIFY(!ssu.useSslVerify());
        QVERIFY(ssu.useSslClientCertAuth());
        QVERIFY(ssu.isRegistered());
        QCOMPARE(ssu.sslClientCert(), QStringLiteral("/etc/ssu/c.pem"));
        QCOMPARE(ssu.sslClientKey(), QStringLiteral("/etc/ssu/c.key"));
    }
};

QTEST_GUILESS_MAIN(TestSsuIntegration)
#include "tst_ssuintegration.moc"
