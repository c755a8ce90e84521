// The metadata manager against real HTTPS release servers on the device's loopback, with the
// servers' own access logs as the witness of what was fetched.
#include "enums.h"
#include "metadata/metadatamanager.h"
#include "releaseserver.h"
#include "ssusettings.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace Corvane;
using UpdateError = Enums::UpdateError;

namespace {

const QByteArray V2Document = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";
const QByteArray V1Document = R"({"releases": [{"deviceModel": "x1", "latest": "4.1.0",
    "versions": [{"version": "4.1.0", "from": ["4.0.0"]}]}]})";

constexpr int MiB = 1024 * 1024;

// The document grown with trailing blanks, which JSON allows, to exactly the given size.
QByteArray ofSize(const QByteArray &document, int size)
{
    return document + QByteArray(size - document.size(), ' ');
}

// The device's release server: one of the test CA, one nobody vouches for (reached without and
// with "insecure"), or none at all.
enum class Server { Trusted, SelfSigned, Insecure, NoDomain };

} // namespace

Q_DECLARE_METATYPE(Server)

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
        QTest::addColumn<Server>("server");
        QTest::addColumn<QByteArray>("v2");
        QTest::addColumn<QByteArray>("v1");
        QTest::addColumn<int>("found");
        QTest::addColumn<UpdateError>("error");
        QTest::addColumn<QString>("details");
        QTest::addColumn<QStringList>("requests");

        const Server trusted = Server::Trusted;
        const UpdateError none = UpdateError::NoError;
        const UpdateError invalid = UpdateError::MetadataError;
        const QStringList v2Only {"GET /metav2/ 200"};
        const QStringList v1Fetched {"GET /metav2/ 404", "GET /meta/ 200"};
        QTest::newRow("v2") << trusted << V2Document << V1Document << 2 << none << "" << v2Only;
        QTest::newRow("v2 missing, v1")
            << trusted << QByteArray() << V1Document << 1 << none << "" << v1Fetched;
        QTest::newRow("both missing")
            << trusted << QByteArray() << QByteArray() << 0 << UpdateError::NetworkError
            << "server replied: Not Found" << QStringList {"GET /metav2/ 404", "GET /meta/ 404"};
        QTest::newRow("v2 not JSON: no fallback") << trusted << QByteArray("<html>") << V1Document
                                                  << 0 << invalid << "illegal value" << v2Only;
        QTest::newRow("v2 array") << trusted << QByteArray("[1]") << V1Document << 0 << invalid
                                  << "JSON is not valid" << v2Only;
        QTest::newRow("v2 invalid")
            << trusted << QByteArray(R"({"devices": [{"device": ""}]})") << V1Document << 0
            << invalid << "Metadata is not valid" << v2Only;
        QTest::newRow("v1 invalid")
            << trusted << QByteArray() << QByteArray(R"({"releases": [{"latest": ""}]})") << 0
            << invalid << "Metadata is not valid" << v1Fetched;
        // The limit holds for what arrives, however fast: at full speed on loopback a whole
        // document may come in before the first progress report.
        QTest::newRow("v2 of exactly 64 MiB")
            << trusted << ofSize(V2Document, 64 * MiB) << V1Document << 2 << none << "" << v2Only;
        QTest::newRow("v2 one byte over 64 MiB: v1")
            << trusted << ofSize(V2Document, 64 * MiB + 1) << V1Document << 1 << none << ""
            << QStringList {"GET /metav2/ 200", "GET /meta/ 200"};
        QTest::newRow("v1 over 64 MiB")
            << trusted << QByteArray() << ofSize(V1Document, 65 * MiB) << 0 << invalid
            << "Metadata document is larger than 64 MiB" << v1Fetched;
        QTest::newRow("empty release domain")
            << Server::NoDomain << V2Document << V1Document << 0 << UpdateError::SsuError
            << "Invalid ssu domain configuration: releaseDomain is empty" << QStringList();
        QTest::newRow("self-signed certificate")
            << Server::SelfSigned << V2Document << V1Document << 0 << UpdateError::NetworkError
            << "" << QStringList();
        QTest::newRow("self-signed certificate, insecure")
            << Server::Insecure << V2Document << V1Document << 2 << none << "" << v2Only;
    }

    void fetchesAndChooses()
    {
        QFETCH(Server, server);
        QFETCH(QByteArray, v2);
        QFETCH(QByteArray, v1);
        QFETCH(int, found);
        QFETCH(UpdateError, error);
        QFETCH(QString, details);
        QFETCH(QStringList, requests);

        m_server.serve(QStringLiteral("metav2"), v2);
        m_server.serve(QStringLiteral("meta"), v1);
        ReleaseServer &used =
            server == Server::SelfSigned || server == Server::Insecure ? m_selfSigned : m_server;
        used.clearLog();
        SsuSettings(server == Server::NoDomain ? QString() : used.address()).write();

        MetadataManager manager(server == Server::Insecure);
        QSignalSpy finished(&manager, &MetadataManager::finished);
        QSignalSpy errors(&manager, &MetadataManager::error);
        manager.getMetadata(QStringLiteral("latest"));
        QTRY_COMPARE(finished.count() + errors.count(), 1);
        if (error == UpdateError::NoError) {
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().value<MethodVersions>().size(), found);
        } else {
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.first().at(0).value<UpdateError>(), error);
            QVERIFY2(errors.first().at(1).toString().contains(details),
                qPrintable(errors.first().at(1).toString()));
        }
        // Nothing more arrives later.
        QTest::qWait(100);
        QCOMPARE(finished.count() + errors.count(), 1);
        QTRY_COMPARE(used.requestLines(), requests);
    }

    // Waits a minute for two transfer timeouts; run with CORVANE_SLOW_TESTS set.
    void silentServerEndsTheCheck()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_SLOW_TESTS"))
            QSKIP("waits for two 30-second transfer timeouts; set CORVANE_SLOW_TESTS");
        // Accepts connections and never says a word, not even the TLS handshake.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        SsuSettings(QStringLiteral("127.0.0.1:%1").arg(silent.serverPort())).write();
        MetadataManager manager(false);
        QSignalSpy errors(&manager, &MetadataManager::error);
        QElapsedTimer clock;
        clock.start();
        manager.getMetadata(QStringLiteral("latest"));
        QVERIFY(errors.wait(90000));
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
