// The resumable downloader against real HTTPS servers on the device's loopback: nginx for the
// well-behaved paths, the fault server for what nginx will not do. The servers' request logs
// are the witness of what was asked for; checksums prove what ended up on disk.
#include "enums.h"
#include "jsonlines.h"
#include "releaseserver.h"
#include "resetupdatemanager/downloader.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Corvane;
using Corvane::ResetUpdates::Downloader;

namespace {

constexpr qint64 BigSize = 26214400; // 25 MiB: three chunks
const QString Big = QStringLiteral("big.bin");
const QString Small = QStringLiteral("small.bin");
const QString HeadersFile = QStringLiteral("/etc/ssu/headers.json");

// The fault-injecting HTTPS server (faultserver/faultserver.py) on the loopback: serves the
// files of root() at "/m/<faults>/NAME" with the faults the script documents.
class FaultServer
{
public:
    ~FaultServer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    [[nodiscard]] bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
            {qEnvironmentVariable("CORVANE_SOURCE_DIR") +
                    "/daemon/tests/faultserver/faultserver.py",
                m_root.path(), m_log.filePath(QStringLiteral("requests.log"))});
        m_process.waitForReadyRead(30000);
        m_address = QString::fromUtf8(m_process.readLine()).trimmed();
        return !m_address.isEmpty();
    }
    QString root() const { return m_root.path(); }
    QString url(const QString &name, const QString &faults) const
    {
        return QStringLiteral("https://%1/m/%2/%3").arg(m_address, faults, name);
    }
    QList<QJsonObject> requests() const
    {
        return readJsonLines(m_log.filePath(QStringLiteral("requests.log")));
    }
    void clearLog() { QFile::remove(m_log.filePath(QStringLiteral("requests.log"))); }

private:
    QTemporaryDir m_root;
    QTemporaryDir m_log;
    QProcess m_process;
    QString m_address;
};

// Everything one downloader emits, in order, as text; progress separately.
class Recorder : public QObject
{
public:
    explicit Recorder(Downloader *downloader)
    {
        connect(downloader, &Downloader::progress, this, [this](int percent, qint64 bytes) {
            progress.append({percent, bytes});
        });
        connect(downloader, &Downloader::prepareFinished, this, [this](qint64 size) {
            events.append(QStringLiteral("prepared %1").arg(size));
        });
        connect(downloader, &Downloader::downloadFinished, this, [this] {
            events.append(QStringLiteral("finished"));
        });
        connect(downloader, &Downloader::downloadCancelled, this, [this] {
            events.append(QStringLiteral("cancelled"));
        });
        connect(downloader, &Downloader::error, this,
            [this](Enums::UpdateError code, const QString &details) {
                events.append(QStringLiteral("error %1 %2").arg(Enums::key(code), details));
            });
    }

    // Waits for the end of an operation: anything but an SSU error, which the downloader
    // reports while it carries on.
    [[nodiscard]] bool waitForEnd()
    {
        return QTest::qWaitFor(
            [this] {
                return events.size() > events.filter(QStringLiteral("error SsuError")).size();
            },
            30000);
    }
    QString last() const { return events.value(events.size() - 1); }

    QStringList events;
    QList<QPair<int, qint64>> progress;
};

// The Range headers of the GET requests in a server's log.
QStringList gets(const QList<QJsonObject> &requests)
{
    QStringList ranges;
    for (const QJsonObject &request : requests)
        if (request.value(QStringLiteral("method")).toString() == QLatin1String("GET"))
            ranges.append(request.value(QStringLiteral("range")).toString());
    return ranges;
}

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private:
    ReleaseServer m_nginx;
    ReleaseServer m_selfSigned;
    FaultServer m_faults;
    QTemporaryDir m_downloads;
    QByteArray m_source; // the big file

    QString target() const { return m_downloads.filePath(QStringLiteral("target.bin")); }

    // Starts a download of the URL into the target file, once its size query succeeded.
    void start(Downloader &downloader, Recorder &recorder, const QString &url)
    {
        downloader.setDownloadDir(m_downloads.path());
        QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));
        downloader.prepare(QUrl(url));
        QVERIFY(recorder.waitForEnd());
        QVERIFY2(recorder.last().startsWith("prepared"), qPrintable(recorder.last()));
        // What the downloader reported while it carried on stays.
        recorder.events = recorder.events.filter(QStringLiteral("error SsuError"));
        downloader.download();
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(m_nginx.start({QStringLiteral("--log-header"), QStringLiteral("X-A"),
            QStringLiteral("--log-header"), QStringLiteral("X-B")}));
        QVERIFY(m_selfSigned.start({QStringLiteral("--self-signed")}));
        QVERIFY(m_faults.start());
        QVERIFY(TestFiles::writeRandom(QDir(m_nginx.root()).filePath(Small), 100000));
        const QString source = QDir(m_nginx.root()).filePath(Big);
        QVERIFY(TestFiles::writeRandom(source, BigSize));
        for (const QString &root : {m_selfSigned.root(), m_faults.root()})
            QVERIFY(QFile::copy(source, QDir(root).filePath(Big)));
        QFile file(source);
        QVERIFY(file.open(QIODevice::ReadOnly));
        m_source = file.readAll();
    }

    void init()
    {
        TestFiles::Ssu ssu;
        ssu.releaseDomain = m_nginx.address();
        TestFiles::configure(ssu);
        QFile::remove(HeadersFile);
        QFile::remove(target());
        m_nginx.clearLog();
        m_selfSigned.clearLog();
        m_faults.clearLog();
    }

    // A size query, then the transfers from whatever the file holds, in ranged chunks of at
    // most 10 MiB + 1. Servers that lie never make the file grow past the announced size, get
    // no bytes written at the wrong offset and cause no request loop. After any interruption a
    // new downloader, as after a restart, continues from the bytes on disk.
    void transfers_data()
    {
        QTest::addColumn<QString>("server"); // "nginx", "self-signed", "insecure" or the faults
        QTest::addColumn<qint64>("have"); // a prefix of the file; negative: that many stale bytes
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("ranges"); // of the GET requests
        QTest::addColumn<qint64>("kept"); // bytes on disk afterwards; -1: some

        const auto row = [](const char *name, const char *server, qint64 have, const char *outcome,
                             const QStringList &ranges, qint64 kept) {
            QTest::newRow(name) << QString(server) << have << QString(outcome) << ranges << kept;
        };
        const QString r0 = QStringLiteral("bytes=0-10485760");
        const QString r1 = QStringLiteral("bytes=10485761-20971521");
        const QString r2 = QStringLiteral("bytes=20971522-26214400");
        const char *badSize = "error InternalError Incorrect download size";
        row("empty file", "nginx", 0, "finished", {r0, r1, r2}, BigSize);
        row("exactly one chunk left", "nginx", 15728640, "finished", {"bytes=15728640-26214400"},
            BigSize);
        row("one byte left", "nginx", BigSize - 1, "finished", {"bytes=26214399-26214400"},
            BigSize);
        row("complete: no request", "nginx", BigSize, "finished", {}, BigSize);
        row("file longer than announced", "nginx", BigSize + 10, "error IOError Downloaded file",
            {}, BigSize + 10);
        row("untrusted certificate", "self-signed", 0, "error NetworkError", {}, 0);
        row("untrusted certificate, insecure", "insecure", BigSize - 1, "finished",
            {"bytes=26214399-26214400"}, BigSize);
        row("connection closed at byte N", "drop=12345678", 0, "error NetworkError", {r0, r1}, -1);
        row("every other request fails", "flaky", 0, "error NetworkError", {r0, r1}, 10485761);
        row("trickle, cancelled", "trickle=65536", 0, "cancelled", {r0}, -1);
        row("accept-ranges in capitals", "accept-ranges=Bytes", BigSize - 1000, "finished",
            {"bytes=26213400-26214400"}, BigSize);
        row("accept-ranges none: stale bytes overwritten", "no-ranges", -5000, "finished", {""},
            BigSize);
        row("no Content-Length", "no-length", 0, badSize, {}, 0);
        row("negative Content-Length", "announce=-5", 0, badSize, {}, 0);
        row("ignores Range when resuming", "ignore-range", 1000,
            "error NetworkError Server did not send the requested range", {"bytes=1000-10486760"},
            1000);
        row("ignores Range from the start: one whole body", "ignore-range", 0, "finished", {r0},
            BigSize);
        // The bound for a body longer than announced: the file stops at the announced size and
        // the download fails.
        row("longer than announced", "announce=26214000", 0,
            "error NetworkError Server sent more than the announced 26214000 bytes",
            {r0, r1, "bytes=20971522-26214000"}, -1);
        row("shorter than announced, no ranges", "no-ranges,short=5000", 0,
            "error NetworkError Server sent 5000 bytes of 26214400", {""}, 5000);
        row("empty bodies", "empty", 0, "error NetworkError Server sent 0 bytes of 26214400", {r0},
            0);
    }

    void transfers()
    {
        QFETCH(QString, server);
        QFETCH(qint64, have);
        QFETCH(QString, outcome);
        QFETCH(QStringList, ranges);
        QFETCH(qint64, kept);

        QByteArray before = have < 0 ? QByteArray(int(-have), 'x') : m_source.left(int(have));
        before += QByteArray(int(qMax<qint64>(0, have - BigSize)), 'x');
        if (!before.isEmpty())
            QVERIFY(TestFiles::write(target(), before));

        const bool insecure = server == QLatin1String("insecure");
        ReleaseServer *nginx = server == QLatin1String("nginx") ? &m_nginx : nullptr;
        if (insecure || server == QLatin1String("self-signed"))
            nginx = &m_selfSigned;
        const QString url = nginx ? nginx->url(Big) : m_faults.url(Big, server);
        const auto log = [&] {
            return nginx ? nginx->requests() : m_faults.requests();
        };

        Downloader downloader(insecure, -1);
        Recorder recorder(&downloader);
        downloader.setDownloadDir(m_downloads.path());
        QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));
        downloader.prepare(QUrl(url));
        QVERIFY(recorder.waitForEnd());
        if (!recorder.last().startsWith(QLatin1String("prepared"))) {
            QVERIFY2(recorder.last().startsWith(outcome), qPrintable(recorder.last()));
            downloader.download();
            QCOMPARE(
                recorder.last(), QStringLiteral("error InternalError Download is not prepared"));
            return;
        }
        const qint64 size = recorder.last().mid(9).toLongLong();
        recorder.events.clear();
        downloader.download();
        if (outcome == QLatin1String("cancelled")) {
            QTRY_VERIFY(!recorder.progress.isEmpty());
            downloader.cancel();
        }
        QVERIFY(recorder.waitForEnd());
        QVERIFY2(recorder.last().startsWith(outcome), qPrintable(recorder.events.join('|')));
        QCOMPARE(recorder.events.size(), 1);

        // Progress: the bytes on disk, only when the percentage changes.
        for (int i = 1; i < recorder.progress.size(); ++i)
            QVERIFY(recorder.progress.at(i).first > recorder.progress.at(i - 1).first);
        for (const auto &report : qAsConst(recorder.progress))
            QCOMPARE(report.first, int(double(report.second) / double(size) * 100.0));
        if (outcome == QLatin1String("finished"))
            QCOMPARE(recorder.progress.last(), qMakePair(100, BigSize));

        // A HEAD first, then the ranges, and nothing more later.
        QTest::qWait(300);
        QTRY_COMPARE(gets(log()), ranges);
        QCOMPARE(log().first().value("method").toString(), QStringLiteral("HEAD"));

        QFile file(target());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        if (kept >= 0)
            QCOMPARE(data.size(), kept);
        if (data.size() > BigSize)
            return; // left as it was
        QVERIFY(m_source.startsWith(data));
        if (data.isEmpty() || data.size() == BigSize)
            return;

        // A new downloader, as after a restart, continues from the bytes on disk.
        m_nginx.clearLog();
        Downloader again(false, -1);
        Recorder resumed(&again);
        start(again, resumed, m_nginx.url(Big));
        QVERIFY(resumed.waitForEnd());
        QCOMPARE(resumed.last(), QStringLiteral("finished"));
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(QDir(m_nginx.root()).filePath(Big)));
        QTRY_VERIFY(gets(m_nginx.requests())
                        .value(0)
                        .startsWith(QStringLiteral("bytes=%1-").arg(data.size())));
    }

    // Credentials and TLS settings go with the size query on a registered device, with the
    // transfers on an unregistered one; without credentials the request still goes out. Site
    // headers of /etc/ssu/headers.json go with every request whose URL an entry matches; a
    // broken file or entry never stops the download.
    void requestHeaders_data()
    {
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("sslVerify");
        QTest::addColumn<bool>("clientCert");
        QTest::addColumn<QByteArray>("file"); // headers.json, with ' for "; null: none
        QTest::addColumn<QString>("xa");
        QTest::addColumn<QString>("xb");
        const auto row = [](const char *name, bool registered, const char *password, bool sslVerify,
                             bool clientCert, const char *file, const char *xa, const char *xb) {
            QTest::newRow(name) << registered << QString(password) << sslVerify << clientCert
                                << QByteArray(file) << QString(xa) << QString(xb);
        };
        row("registered", true, "s3cr3t", false, true, nullptr, "", "");
        row("unregistered", false, "s3cr3t", false, true, nullptr, "", "");
        row("password with colon, blank and umlaut, verify on", false, "p: \u00e4", true, false,
            nullptr, "", "");
        row("unregistered, no password", false, "", false, true, nullptr, "", "");
        row("registered, no password", true, "", true, false, nullptr, "", "");
        row("contains, regexp, later entries win", false, "s", true, false,
            "[{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'X-A': 'first', "
            "'X-B': 'first'}}, {'matchCriteria': 'contains', 'matchValue': '/small', "
            "'headers': {'X-A': '1'}}, {'matchCriteria': 'regexp', 'matchValue': "
            "'small\\\\.bin$', 'headers': {'X-B': '2'}}]",
            "1", "2");
        row("no match: case, anchor, invalid pattern", false, "s", true, false,
            "[{'matchCriteria': 'contains', 'matchValue': '/SMALL', 'headers': {'X-A': '1'}}, "
            "{'matchCriteria': 'regexp', 'matchValue': '^http://', 'headers': {'X-A': '2'}}, "
            "{'matchCriteria': 'regexp', 'matchValue': '(', 'headers': {'X-B': '3'}}]",
            "", "");
        row("unknown criteria and empty values skipped, the rest applies", false, "s", true, false,
            "[{'matchCriteria': 'glob', 'matchValue': '/', 'headers': {'X-B': 'g'}}, "
            "{'matchCriteria': 'contains', 'matchValue': '', 'headers': {'X-B': 'e'}}, "
            "{'matchValue': '/', 'headers': {'X-B': 'm'}}, 1, {'matchCriteria': 'contains', "
            "'matchValue': '/', 'headers': {'X-A': '1'}}]",
            "1", "");
        row("invalid JSON", false, "s", true, false, "[{'matchCriteria': ", "", "");
        row("names and values that would break the request", false, "s", true, false,
            "[{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'': '1', 'Bad Name': "
            "'1', 'X-A': 'ok\\r\\nX-B: injected', 'X-B': 'fine'}}]",
            "", "fine");
    }

    void requestHeaders()
    {
        QFETCH(bool, registered);
        QFETCH(QString, password);
        QFETCH(bool, sslVerify);
        QFETCH(bool, clientCert);
        QFETCH(QByteArray, file);
        QFETCH(QString, xa);
        QFETCH(QString, xb);

        TestFiles::Ssu ssu;
        ssu.releaseDomain = m_nginx.address();
        ssu.registered = registered;
        ssu.username = QStringLiteral("dev-1");
        ssu.password = password;
        ssu.sslVerify = sslVerify;
        ssu.clientCertAuth = clientCert;
        ssu.clientCert = QStringLiteral("/etc/ssu/client.pem");
        ssu.clientKey = QStringLiteral("/etc/ssu/client.key");
        TestFiles::configure(ssu);
        if (!file.isNull())
            QVERIFY(TestFiles::write(HeadersFile, file.replace('\'', '"')));
        const QString authorization = password.isEmpty() ? QString()
                                                         : QStringLiteral("Basic ") +
                QString::fromLatin1((QStringLiteral("dev-1:") + password).toUtf8().toBase64());

        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        start(downloader, recorder, m_nginx.url(Small));
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.last(), QStringLiteral("finished"));
        QCOMPARE(recorder.events.count(QStringLiteral("error SsuError Ssu: cant get credentials")),
            password.isEmpty() ? 1 : 0);
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(QDir(m_nginx.root()).filePath(Small)));

        QTRY_COMPARE(m_nginx.requests().size(), 2);
        for (const QJsonObject &request : m_nginx.requests()) {
            const bool decorated = (request.value("method").toString() == "HEAD") == registered;
            const QJsonObject headers = request.value("headers").toObject();
            QCOMPARE(headers.value("X-A").toString(), xa);
            QCOMPARE(headers.value("X-B").toString(), xb);
            QCOMPARE(
                request.value("authorization").toString(), decorated ? authorization : QString());
            QCOMPARE(request.value("ssl_verify").toString(),
                decorated && !sslVerify ? QStringLiteral("no") : QString());
            QCOMPARE(request.value("ssl_clientcert").toString(),
                decorated && clientCert ? ssu.clientCert : QString());
            QCOMPARE(request.value("ssl_clientkey").toString(),
                decorated && clientCert ? ssu.clientKey : QString());
        }
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"