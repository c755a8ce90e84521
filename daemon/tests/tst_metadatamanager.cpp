// The metadata manager against real HTTPS release servers on the device's loopback, with the
// servers' own access logs as the witness of what was fetched.
#include "enums.h"
#include "metadata/metadatamanager.h"
#include "releaseserver.h"
#include "signalrecorder.h"
#include "ssusettings.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace Corvane;

namespace {

const QByteArray V2Document = R"({"devices": [{"device": "x1", "latestRelease": "4.2.0",
    "releases": [{"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
                 {"version": "4.2.0", "updateMethods": [{"method": "Reset"}]}]}]})";
const QByteArray V1Document = R"({"releases": [{"deviceModel": "x1", "latest": "4.1.0",
    "versions": [{"version": "4.1.0", "from": ["4.0.0"]}]}]})";
const QStringList V2Only {"GET /metav2/ 200"};
const QStringList V1Fetched {"GET /metav2/ 404", "GET /meta/ 200"};
const char *const V2Found = "finished PackageUpdate=4.1.0,ResetUpdate=4.2.0";
const char *const V1Found = "finished PackageUpdate=4.1.0";

constexpr int MiB = 1024 * 1024;

// The document grown with trailing blanks, which JSON allows, to exactly the given size.
QByteArray ofSize(const QByteArray &document, int size)
{
    return document + QByteArray(size - document.size(), ' ');
}

// The device's release server: one of the test CA, one nobody vouches for (reached without and
// with "insecure"), or none at all.
enum class Server { Trusted, SelfSigned, Insecure, NoDomain };

// The outcome is a pattern for the one signal the check ends with, as SignalRecorder writes it.
void row(const char *name, const QByteArray &v2, const QByteArray &v1, const char *outcome,
    const QStringList &requests, Server server = Server::Trusted)
{
    QTest::newRow(name) << server << v2 << v1 << QString::fromLatin1(outcome) << requests;
}

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
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("requests");

        row("v2", V2Document, V1Document, V2Found, V2Only);
        row("v2 missing, v1", {}, V1Document, V1Found, V1Fetched);
        row("both missing", {}, {}, "error NetworkError .*server replied: Not Found",
            {"GET /metav2/ 404", "GET /meta/ 404"});
        row("v2 not JSON: no fallback", "<html>", V1Document, "error MetadataError illegal value",
            V2Only);
        row("v2 array", "[1]", V1Document, "error MetadataError JSON is not valid", V2Only);
        row("v2 invalid", R"({"devices": [{"device": ""}]})", V1Document,
            "error MetadataError Metadata is not valid", V2Only);
        row("v1 invalid", {}, R"({"releases": [{"latest": ""}]})",
            "error MetadataError Metadata is not valid", V1Fetched);
        // The limit holds for what arrives, however fast: at full speed on loopback a whole
        // document may come in before the first progress report.
        row("v2 of exactly 64 MiB", ofSize(V2Document, 64 * MiB), V1Document, V2Found, V2Only);
        row("v2 one byte over 64 MiB: v1", ofSize(V2Document, 64 * MiB + 1), V1Document, V1Found,
            {"GET /metav2/ 200", "GET /meta/ 200"});
        row("v1 over 64 MiB", {}, ofSize(V1Document, 65 * MiB),
            "error MetadataError Metadata document is larger than 64 MiB", V1Fetched);
        row("empty release domain", V2Document, V1Document,
            "error SsuError Invalid ssu domain configuration: releaseDomain is empty", {},
            Server::NoDomain);
        row("self-signed certificate", V2Document, V1Document, "error NetworkError .*", {},
            Server::SelfSigned);
        row("self-signed certificate, insecure", V2Document, V1Document, V2Found, V2Only,
            Server::Insecure);
    }

    void fetchesAndChooses()
    {
        QFETCH(Server, server);
        QFETCH(QByteArray, v2);
        QFETCH(QByteArray, v1);
        QFETCH(QString, outcome);
        QFETCH(QStringList, requests);

        m_server.serve(QStringLiteral("metav2"), v2);
        m_server.serve(QStringLiteral("meta"), v1);
        ReleaseServer &used =
            server == Server::SelfSigned || server == Server::Insecure ? m_selfSigned : m_server;
        used.clearLog();
        SsuSettings(server == Server::NoDomain ? QString() : used.address()).write();

        MetadataManager manager(server == Server::Insecure);
        SignalRecorder recorder(&manager);
        manager.getMetadata(QStringLiteral("latest"));
        QVERIFY(recorder.waitForEvents());
        // Nothing more arrives later.
        QVERIFY(!recorder.waitForEvents(2, 100));
        QVERIFY2(recorder.last().contains(QRegularExpression(QLatin1Char('^') + outcome + '$')),
            qPrintable(recorder.last()));
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
        SignalRecorder recorder(&manager);
        QElapsedTimer clock;
        clock.start();
        manager.getMetadata(QStringLiteral("latest"));
        QVERIFY(recorder.waitForEvents(1, 90000));
        QVERIFY2(recorder.last().startsWith(QLatin1String("error NetworkError ")),
            qPrintable(recorder.last()));
        // Both documents were tried, each for its timeout.
        QVERIFY2(clock.elapsed() >= 55000, qPrintable(QString::number(clock.elapsed())));
    }

private:
    ReleaseServer m_server;
    ReleaseServer m_selfSigned;
};

QTEST_GUILESS_MAIN(TestMetadataManager)
#include "tst_metadatamanager.moc"
