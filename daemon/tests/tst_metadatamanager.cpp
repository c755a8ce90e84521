// The metadata manager against a real HTTPS release server on the device's loopback, with the
// server's own access log as the witness of what was fetched.
#include "enums.h"
#include "metadata/metadatamanager.h"
#include "releaseserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Corvane;
using Method = Enums::Method;
using UpdateError = Enums::UpdateError;

namespace {

const QByteArray V2Document = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";
const QByteArray V1Document = R"({"releases": [{"deviceModel": "x1", "latest": "4.1.0",
    "versions": [{"version": "4.1.0", "from": ["4.0.0"]}]}]})";
const QByteArray Absent;

} // namespace

class TestMetadataManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(m_server.start());
        QVERIFY(m_selfSigned.start({QStringLiteral("--self-signed")}));
        m_selfSigned.serve(QStringLiteral("metav2"), V2Document);
    }

    void fetchesAndChooses_data()
    {
        QTest::addColumn<QByteArray>("v2");
        QTest::addColumn<QByteArray>("v1");
        QTest::addColumn<MethodVersions>("versions");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("details");
        QTest::addColumn<QStringList>("requests");

        const MethodVersions none;
        const int ok = static_cast<int>(UpdateError::NoError);
        const int metadataError = static_cast<int>(UpdateError::MetadataError);
        const QStringList v2Only {"GET /metav2/ 200"};

        QTest::newRow("v2") << V2Document << V1Document
                            << MethodVersions {{Method::PackageUpdate, "4.1.0"},
                                   {Method::ResetUpdate, "4.2.0"}}
                            << ok << "" << v2Only;
        QTest::newRow("v2 missing, v1")
            << Absent << V1Document << MethodVersions {{Method::PackageUpdate, "4.1.0"}} << ok << ""
            << QStringList {"GET /metav2/ 404", "GET /meta/ 200"};
        QTest::newRow("both missing")
            << Absent << Absent << none << static_cast<int>(UpdateError::NetworkError)
            << "server replied: Not Found" << QStringList {"GET /metav2/ 404", "GET /meta/ 404"};
        QTest::newRow("v2 not JSON: no fallback")
            << QByteArray("<html>oops</html>") << V1Document << none << metadataError
            << "illegal value" << v2Only;
        QTest::newRow("v2 array") << QByteArray("[1]") << V1Document << none << metadataError
                                  << "JSON is not valid" << v2Only;
        QTest::newRow("v2 empty object: no devices")
            << QByteArray("{}") << V1Document << none << ok << "" << v2Only;
        QTest::newRow("v2 invalid")
            << QByteArray(R"({"devices": [{"device": "", "latestRelease": "4.0"}]})") << V1Document
            << none << metadataError << "Metadata is not valid" << v2Only;
        QTest::newRow("nothing for this device")
            << QByteArray(R"({"devices": [{"device": "x2", "latestRelease": "9"}]})") << Absent
            << none << ok << "" << v2Only;
        QTest::newRow("v1 invalid")
            << Absent << QByteArray(R"({"releases": [{"deviceModel": "x1", "latest": ""}]})")
            << none << metadataError << "Metadata is not valid"
            << QStringList {"GET /metav2/ 404", "GET /meta/ 200"};
    }

    void fetchesAndChooses()
    {
        QFETCH(QByteArray, v2);
        QFETCH(QByteArray, v1);
        QFETCH(MethodVersions, versions);
        QFETCH(int, error);
        QFETCH(QString, details);
        QFETCH(QStringList, requests);

        m_server.serve(QStringLiteral("metav2"), v2);
        m_server.serve(QStringLiteral("meta"), v1);
        m_server.clearLog();
        m_server.configureDevice();

        MetadataManager manager(false);
        QSignalSpy finished(&manager, &MetadataManager::finished);
        QSignalSpy errors(&manager, &MetadataManager::error);
        manager.getMetadata(QStringLiteral("latest"));
        QTRY_COMPARE(finished.count() + errors.count(), 1);
        if (error == static_cast<int>(UpdateError::NoError)) {
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().value<MethodVersions>(), versions);
        } else {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(static_cast<int>(errors.first().at(0).value<UpdateError>()), error);
            const QString text = errors.first().at(1).toString();
            QVERIFY2(text.contains(details), qPrintable(text));
        }
        // Nothing more arrives later.
        QTest::qWait(100);
        QCOMPARE(finished.count() + errors.count(), 1);
        QTRY_COMPARE(m_server.requestLines(), requests);
    }

    void emptyReleaseDomainFetchesNothing()
    {
        m_server.clearLog();
        ReleaseServer::configureDevice(QString(), QStringLiteral("x1"), QStringLiteral("4.0.0"));
        MetadataManager manager(false);
        QSignalSpy errors(&manager, &MetadataManager::error);
        manager.getMetadata(QStringLiteral("latest"));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.first().at(0).value<UpdateError>(), UpdateError::SsuError);
        QCOMPARE(errors.first().at(1).toString(),
            QStringLiteral("Invalid ssu domain configuration: releaseDomain is empty"));
        QTest::qWait(100);
        QCOMPARE(m_server.requestLines(), QStringList());
    }

    void certificateNobodyVouchesFor_data()
    {
        QTest::addColumn<bool>("insecure");
        QTest::newRow("refused") << false;
        QTest::newRow("accepted with insecure") << true;
    }

    void certificateNobodyVouchesFor()
    {
        QFETCH(bool, insecure);
        m_selfSigned.configureDevice();
        MetadataManager manager(insecure);
        QSignalSpy finished(&manager, &MetadataManager::finished);
        QSignalSpy errors(&manager, &MetadataManager::error);
        manager.getMetadata(QStringLiteral("latest"));
        QTRY_COMPARE(finished.count() + errors.count(), 1);
        if (insecure) {
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().value<MethodVersions>().size(), 2);
        } else {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.first().at(0).value<UpdateError>(), UpdateError::NetworkError);
            QVERIFY(m_selfSigned.requestLines().isEmpty());
        }
    }

    // Waits a minute for two transfer timeouts; run with CORVANE_SLOW_TESTS set.
    void silentServerEndsTheCheck()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SLOW_TESTS"))
            QSKIP("waits for two 30-second transfer timeouts; set CORVANE_SLOW_TESTS");
        // Accepts connections and never says a word, not even the TLS handshake.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        ReleaseServer::configureDevice(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()),
            QStringLiteral("x1"), QStringLiteral("4.0.0"));
        MetadataManager manager(false);
        QSignalSpy finished(&manager, &MetadataManager::finished);
        QSignalSpy errors(&manager, &MetadataManager::error);
        QElapsedTimer clock;
        clock.start();
        manager.getMetadata(QStringLiteral("latest"));
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 90000);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(errors.first().at(0).value<UpdateError>(), UpdateError::NetworkError);
        // Both documents were tried, each for its timeout.
        QVERIFY2(clock.elapsed() >= 55000, qPrintable(QString::number(clock.elapsed())));
    }

private:
    ReleaseServer m_server;
    ReleaseServer m_selfSigned;
};

QTEST_GUILESS_MAIN(TestMetadataManager)
#include "tst_metadatamanager.moc"
