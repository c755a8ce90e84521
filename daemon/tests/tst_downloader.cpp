// The resumable downloader against real HTTPS servers on the device's loopback: nginx for the
// well-behaved paths, the fault server for what nginx will not do. The servers' request logs
// are the witness of what was asked for; checksums prove what ended up on disk.
#include "enums.h"
#include "faultserver.h"
#include "releaseserver.h"
#include "resetupdatemanager/downloader.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Corvane;
using Corvane::ResetUpdates::Downloader;
using UpdateError = Enums::UpdateError;

namespace {

constexpr qint64 BigSize = 26214400; // 25 MiB: three chunks
constexpr qint64 SmallSize = 100000;
const QString Big = QStringLiteral("images/big.bin");
const QString Small = QStringLiteral("images/small.bin");

// JSON written with single quotes, to keep the rows readable.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void collectMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_messages.append(message);
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// Everything one downloader emits, in order, as text.
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
        connect(
            downloader, &Downloader::error, this, [this](UpdateError code, const QString &details) {
                events.append(QStringLiteral("error %1 %2").arg(Enums::key(code), details));
            });
    }

    // Waits for the end of an operation: anything but an SSU error, which the downloader
    // reports while it carries on.
    bool waitForEnd(int timeoutMs = 30000)
    {
        return QTest::qWaitFor(
            [this] {
                return ended();
            },
            timeoutMs);
    }
    bool ended() const
    {
        for (const QString &event : events)
            if (!event.startsWith(QLatin1String("error SsuError")))
                return true;
        return false;
    }
    QString last() const { return events.isEmpty() ? QString() : events.last(); }

    QStringList events;
    QList<QPair<int, qint64>> progress;
};

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
    QString m_source;

    QString target() const { return m_downloads.filePath(QStringLiteral("target.bin")); }

    void configureSsu(TestFiles::Ssu ssu = TestFiles::Ssu())
    {
        ssu.releaseDomain = m_nginx.address();
        TestFiles::configure(ssu);
    }

    // A downloader of the target file, prepared for the URL.
    void prepared(Downloader &downloader, Recorder &recorder, const QString &url)
    {
        downloader.setDownloadDir(m_downloads.path());
        QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));
        downloader.prepare(QUrl(url));
        QVERIFY(recorder.waitForEnd());
        QVERIFY2(
            recorder.last().startsWith(QLatin1String("prepared")), qPrintable(recorder.last()));
        recorder.events.clear();
    }

    void seed(qint64 bytes)
    {
        QFile::remove(target());
        if (bytes > 0)
            QVERIFY(TestFiles::copyPrefix(m_source, target(), bytes));
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        g_previousHandler = qInstallMessageHandler(collectMessages);
        QVERIFY(m_downloads.isValid());
        QVERIFY(m_nginx.start({QStringLiteral("--log-header"), QStringLiteral("X-A"),
            QStringLiteral("--log-header"), QStringLiteral("X-B")}));
        QVERIFY(m_selfSigned.start({QStringLiteral("--self-signed")}));
        QVERIFY(m_faults.start());
        for (const QString &root : {m_nginx.root(), m_selfSigned.root(), m_faults.root()})
            QVERIFY(QDir(root).mkpath(QStringLiteral("images")));
        m_source = QDir(m_nginx.root()).filePath(Big);
        QVERIFY(TestFiles::writeRandom(m_source, BigSize));
        QVERIFY(TestFiles::writeRandom(QDir(m_nginx.root()).filePath(Small), SmallSize));
        for (const QString &name : {Big, Small}) {
            QVERIFY(QFile::copy(
                QDir(m_nginx.root()).filePath(name), QDir(m_faults.root()).filePath(name)));
            QVERIFY(QFile::copy(
                QDir(m_nginx.root()).filePath(name), QDir(m_selfSigned.root()).filePath(name)));
        }
    }

    void init()
    {
        configureSsu();
        QFile::remove(QStringLiteral("/etc/ssu/headers.json"));
        QDir(QStringLiteral("/etc/ssu/headers.json")).removeRecursively();
        QFile::remove(target());
        m_nginx.clearLog();
        m_faults.clearLog();
        g_messages.clear();
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

    // From whatever the file holds, the rest comes in ranged chunks of at most 10 MiB + 1.
    void downloadsInChunks_data()
    {
        QTest::addColumn<qint64>("have");
        QTest::addColumn<QStringList>("ranges");

        QTest::newRow("empty file") << qint64(0)
                                    << QStringList {"bytes=0-10485760", "bytes=10485761-20971521",
                                           "bytes=20971522-26214400"};
        QTest::newRow("exactly one chunk left")
            << qint64(15728640) << QStringList {"bytes=15728640-26214400"};
        QTest::newRow("one byte left")
            << qint64(BigSize - 1) << QStringList {"bytes=26214399-26214400"};
        QTest::newRow("complete: no request") << BigSize << QStringList {};
    }

    void downloadsInChunks()
    {
        QFETCH(qint64, have);
        QFETCH(QStringList, ranges);

        seed(have);
        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        prepared(downloader, recorder, m_nginx.url(Big));
        QVERIFY(downloader.isPrepared(QUrl(m_nginx.url(Big))));
        downloader.download();
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.events, QStringList {QStringLiteral("finished")});
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(m_source));

        // Progress reports the bytes on disk, only when the percentage changes, up to 100.
        QVERIFY(!recorder.progress.isEmpty());
        QCOMPARE(recorder.progress.last(), qMakePair(100, BigSize));
        for (int i = 1; i < recorder.progress.size(); ++i)
            QVERIFY(recorder.progress.at(i).first > recorder.progress.at(i - 1).first);
        for (const auto &report : qAsConst(recorder.progress))
            QCOMPARE(report.first, int(double(report.second) / double(BigSize) * 100.0));

        QTRY_COMPARE(m_nginx.requests().size(), ranges.size() + 1);
        const QList<QJsonObject> requests = m_nginx.requests();
        QCOMPARE(requests.first().value("method").toString(), QStringLiteral("HEAD"));
        QCOMPARE(gets(requests), ranges);
        if (!ranges.isEmpty())
            QVERIFY(g_messages.contains(
                QStringLiteral("void Corvane::ResetUpdates::Downloader::getFinished() Finished "
                               "current download")));
    }

    // Credentials and TLS settings: the size query carries them on a registered device, the
    // transfers on an unregistered one.
    void ssuHeaders_data()
    {
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("sslVerify");
        QTest::addColumn<bool>("clientCert");
        QTest::addColumn<QString>("authorization");
        QTest::addColumn<bool>("credentialError");

        const QString basic =
            QStringLiteral("Basic ") + QString::fromLatin1(QByteArray("dev-1:s3cr3t").toBase64());
        QTest::newRow("registered") << true << "dev-1"
                                    << "s3cr3t" << false << true << basic << false;
        QTest::newRow("unregistered") << false << "dev-1"
                                      << "s3cr3t" << false << true << basic << false;
        QTest::newRow("verify on, no client certificate")
            << false << "dev-1"
            << "s3cr3t" << true << false << basic << false;
        QTest::newRow("password with colon, blank and umlaut") << false << "dev-1"
                                                               << "p: \u00e4" << true << false
                                                               << QStringLiteral("Basic ") +
                QString::fromLatin1(QStringLiteral("dev-1:p: \u00e4").toUtf8().toBase64())
                                                               << false;
        QTest::newRow("no password: reported, request still sent")
            << false << "dev-1"
            << "" << false << true << "" << true;
        QTest::newRow("registered, no credentials") << true << ""
                                                    << "" << true << false << "" << true;
    }

    void ssuHeaders()
    {
        QFETCH(bool, registered);
        QFETCH(QString, username);
        QFETCH(QString, password);
        QFETCH(bool, sslVerify);
        QFETCH(bool, clientCert);
        QFETCH(QString, authorization);
        QFETCH(bool, credentialError);

        TestFiles::Ssu ssu;
        ssu.registered = registered;
        ssu.username = username;
        ssu.password = password;
        ssu.sslVerify = sslVerify;
        ssu.clientCertAuth = clientCert;
        ssu.clientCert = QStringLiteral("/etc/ssu/client.pem");
        ssu.clientKey = QStringLiteral("/etc/ssu/client.key");
        configureSsu(ssu);

        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        downloader.setDownloadDir(m_downloads.path());
        QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));
        downloader.prepare(QUrl(m_nginx.url(Small)));
        QTRY_VERIFY(recorder.events.filter(QStringLiteral("prepared")).size() == 1);
        downloader.download();
        QTRY_VERIFY(recorder.events.contains(QStringLiteral("finished")));
        const int credentialErrors =
            recorder.events.count(QStringLiteral("error SsuError Ssu: cant get credentials"));
        QCOMPARE(credentialErrors, credentialError ? 1 : 0);
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(QDir(m_nginx.root()).filePath(Small)));

        QTRY_COMPARE(m_nginx.requests().size(), 2);
        for (const QJsonObject &request : m_nginx.requests()) {
            const bool decorated =
                (request.value("method").toString() == QLatin1String("HEAD")) == registered;
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

    // Site headers of /etc/ssu/headers.json, on every request whose URL an entry matches.
    void extraHeaders_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: no file; "<dir>": a directory instead
        QTest::addColumn<QString>("xa");
        QTest::addColumn<QString>("xb");
        QTest::addColumn<QString>("message");

        const QByteArray none;
        QTest::newRow("no file") << none << ""
                                 << ""
                                 << "";
        QTest::newRow("contains") << json("[{'matchCriteria': 'contains', 'matchValue': "
                                          "'/images/', 'headers': {'X-A': '1'}}]")
                                  << "1"
                                  << ""
                                  << "reading headers from headers.json";
        QTest::newRow("contains is case-sensitive")
            << json("[{'matchCriteria': 'contains', 'matchValue': '/IMAGES/', 'headers': {'X-A': "
                    "'1'}}]")
            << ""
            << ""
            << "";
        QTest::newRow("regexp anywhere in the URL")
            << json("[{'matchCriteria': 'regexp', 'matchValue': 'big\\\\.bin$', 'headers': {'X-A': "
                    "'re', 'X-B': '2'}}]")
            << "re"
            << "2"
            << "";
        QTest::newRow("regexp without match") << json("[{'matchCriteria': 'regexp', 'matchValue': "
                                                      "'^http://', 'headers': {'X-A': 're'}}]")
                                              << ""
                                              << ""
                                              << "";
        QTest::newRow("invalid regexp matches nothing")
            << json("[{'matchCriteria': 'regexp', 'matchValue': '(', 'headers': {'X-A': 're'}}]")
            << ""
            << ""
            << "";
        QTest::newRow("unknown criteria skipped, next applies")
            << json("[{'matchCriteria': 'glob', 'matchValue': '*', 'headers': {'X-B': 'g'}}, "
                    "{'matchCriteria': 'contains', 'matchValue': '/images/', 'headers': {'X-A': "
                    "'1'}}]")
            << "1"
            << ""
            << "got unknown matchCriteria (glob) in headers.json, ignoring";
        QTest::newRow("empty match value")
            << json("[{'matchCriteria': 'contains', 'matchValue': '', 'headers': {'X-A': '1'}}]")
            << ""
            << ""
            << "got empty matchValue in headers.json, ignoring";
        QTest::newRow("missing criteria")
            << json("[{'matchValue': '/', 'headers': {'X-A': '1'}}]") << ""
            << ""
            << "got empty matchCriteria in headers.json, ignoring";
        QTest::newRow("later entry wins")
            << json("[{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'X-A': 'first', "
                    "'X-B': 'b'}}, {'matchCriteria': 'contains', 'matchValue': 'big', 'headers': "
                    "{'X-A': 'second'}}]")
            << "second"
            << "b"
            << "";
        QTest::newRow("invalid JSON") << QByteArray("[{\"matchCriteria\": ") << ""
                                      << ""
                                      << "invalid headers.json (";
        QTest::newRow("object at top level")
            << json("{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'X-A': '1'}}")
            << ""
            << ""
            << "";
        QTest::newRow("odd elements and values")
            << json("[1, 'x', null, [], {'matchCriteria': 5, 'matchValue': '/'}, {'matchCriteria': "
                    "'contains', 'matchValue': '/', 'headers': ['X-A']}, {'matchCriteria': "
                    "'contains', 'matchValue': '/', 'headers': {'X-A': 7, 'X-B': 'b'}}]")
            << ""
            << "b"
            << "";
        QTest::newRow("header names and values that would break the request")
            << json("[{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'': '1', 'Bad "
                    "Name': '1', 'X-A': 'ok\\r\\nX-B: injected', 'X-B': 'fine'}}]")
            << ""
            << "fine"
            << "";
        QTest::newRow("unreadable") << QByteArray("<dir>") << ""
                                    << ""
                                    << "headers.json exists but not readable!";
    }

    void extraHeaders()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, xa);
        QFETCH(QString, xb);
        QFETCH(QString, message);

        const QString path = QStringLiteral("/etc/ssu/headers.json");
        if (file == "<dir>")
            QVERIFY(QDir().mkpath(path));
        else if (!file.isNull())
            QVERIFY(TestFiles::write(path, file));

        seed(BigSize - 1000);
        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        prepared(downloader, recorder, m_nginx.url(Big));
        downloader.download();
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.last(), QStringLiteral("finished"));

        QTRY_COMPARE(m_nginx.requests().size(), 2);
        for (const QJsonObject &request : m_nginx.requests()) {
            const QJsonObject headers = request.value("headers").toObject();
            QCOMPARE(headers.value("X-A").toString(), xa);
            QCOMPARE(headers.value("X-B").toString(), xb);
        }
        if (!message.isEmpty()) {
            const QStringList found = g_messages.filter(message);
            QVERIFY2(!found.isEmpty(), qPrintable(g_messages.join(QLatin1Char('\n'))));
        }
    }

    // What the size query makes of the server's answer, and whether the transfer then asks for
    // ranges.
    void sizeQuery_data()
    {
        QTest::addColumn<QString>("before"); // faults of an earlier size query, or empty
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("insecure");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("ranged");

        const QString prepared = QStringLiteral("prepared %1").arg(SmallSize);
        const QString badSize = QStringLiteral("error InternalError Incorrect download size");
        QTest::newRow("nginx") << ""
                               << "nginx" << false << prepared << true;
        QTest::newRow("accept-ranges Bytes") << ""
                                             << "accept-ranges=Bytes" << false << prepared << true;
        QTest::newRow("accept-ranges none") << ""
                                            << "accept-ranges=none" << false << prepared << false;
        QTest::newRow("no header: earlier bytes stays")
            << "accept-ranges=bytes"
            << "accept-ranges=" << false << prepared << true;
        QTest::newRow("no header: earlier none stays")
            << "accept-ranges=none"
            << "accept-ranges=" << false << prepared << false;
        QTest::newRow("no Content-Length") << ""
                                           << "no-length" << false << badSize << false;
        QTest::newRow("Content-Length 0") << ""
                                          << "announce=0" << false << badSize << false;
        QTest::newRow("Content-Length negative") << ""
                                                 << "announce=-5" << false << badSize << false;
        QTest::newRow("Content-Length not a number")
            << ""
            << "announce=12ab" << false << badSize << false;
        QTest::newRow("not found")
            << ""
            << "status=404" << false << "error NetworkError Error transferring" << false;
        QTest::newRow("redirect") << ""
                                  << "status=302" << false
                                  << "error NetworkError Unexpected HTTP status 302" << false;
        QTest::newRow("untrusted certificate")
            << ""
            << "self-signed" << false << "error NetworkError" << false;
        QTest::newRow("untrusted certificate, insecure")
            << ""
            << "self-signed" << true << prepared << true;
    }

    void sizeQuery()
    {
        QFETCH(QString, before);
        QFETCH(QString, url);
        QFETCH(bool, insecure);
        QFETCH(QString, outcome);
        QFETCH(bool, ranged);

        Downloader downloader(insecure, -1);
        Recorder recorder(&downloader);
        if (!before.isEmpty())
            prepared(downloader, recorder, m_faults.url(Small, before));
        else {
            downloader.setDownloadDir(m_downloads.path());
            QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));
        }

        QString address;
        if (url == QLatin1String("nginx"))
            address = m_nginx.url(Small);
        else if (url == QLatin1String("self-signed"))
            address = m_selfSigned.url(Small);
        else
            address = m_faults.url(Small, url);
        downloader.prepare(QUrl(address));
        QVERIFY(recorder.waitForEnd());
        QVERIFY2(recorder.last().startsWith(outcome), qPrintable(recorder.last()));
        const bool ok = outcome.startsWith(QLatin1String("prepared"));
        QCOMPARE(downloader.isPrepared(QUrl(address)), ok);
        recorder.events.clear();

        downloader.download();
        QVERIFY(recorder.waitForEnd());
        if (!ok) {
            QCOMPARE(
                recorder.last(), QStringLiteral("error InternalError Download is not prepared"));
            return;
        }
        QCOMPARE(recorder.last(), QStringLiteral("finished"));
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(QDir(m_nginx.root()).filePath(Small)));
        if (url.startsWith(QLatin1String("accept-ranges"))) {
            const QStringList ranges = gets(m_faults.requests());
            QCOMPARE(ranges.size(), 1);
            QCOMPARE(ranges.first(), ranged ? QStringLiteral("bytes=0-100000") : QString());
        }
    }

    // An interrupted download leaves what it received on disk, and a later one (even by a
    // new downloader, as after a restart) continues from there to a byte-identical file.
    void resumes_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QString>("interruption");
        QTest::addColumn<qint64>("kept"); // bytes on disk after the interruption; -1: some

        QTest::newRow("connection dropped") << "drop=12345678"
                                            << "error NetworkError" << qint64(12345678);
        QTest::newRow("server error on the second request")
            << "flaky"
            << "error NetworkError" << qint64(10485761);
        QTest::newRow("cancelled") << "trickle=65536"
                                   << "cancelled" << qint64(-1);
    }

    void resumes()
    {
        QFETCH(QString, faults);
        QFETCH(QString, interruption);
        QFETCH(qint64, kept);

        {
            Downloader downloader(false, -1);
            Recorder recorder(&downloader);
            prepared(downloader, recorder, m_faults.url(Big, faults));
            downloader.download();
            if (interruption == QLatin1String("cancelled")) {
                QTRY_VERIFY(!recorder.progress.isEmpty());
                downloader.cancel();
            }
            QVERIFY(recorder.waitForEnd());
            QVERIFY2(recorder.last().startsWith(interruption), qPrintable(recorder.last()));
            QCOMPARE(recorder.events.size(), 1);
        }
        const qint64 have = QFileInfo(target()).size();
        if (kept >= 0)
            QCOMPARE(have, kept);
        QVERIFY(have > 0 && have < BigSize);

        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        prepared(downloader, recorder, m_nginx.url(Big));
        downloader.download();
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(recorder.last(), QStringLiteral("finished"));
        QCOMPARE(TestFiles::md5(target()), TestFiles::md5(m_source));
        QTRY_VERIFY(!gets(m_nginx.requests()).isEmpty());
        QVERIFY(gets(m_nginx.requests()).first().startsWith(QStringLiteral("bytes=%1-").arg(have)));
    }

    // Servers that lie: the file never grows past the announced size, never gets bytes
    // written at the wrong offset, and the download ends instead of repeating requests.
    void misbehavingServers_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<qint64>("have");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("getRequests");

        QTest::newRow("ignores Range when resuming")
            << "ignore-range" << qint64(1000)
            << "error NetworkError Server did not send the requested range" << 1;
        QTest::newRow("ignores Range from the start: one whole body")
            << "ignore-range" << qint64(0) << "finished" << 1;
        QTest::newRow("no ranges: whole body") << "no-ranges" << qint64(0) << "finished" << 1;
        QTest::newRow("no ranges: stale bytes are overwritten")
            << "no-ranges" << qint64(-5000) << "finished" << 1;
        QTest::newRow("file longer than announced, ranged")
            << "announce=26214000" << qint64(0)
            << "error NetworkError Server sent more than the announced 26214000 bytes" << 3;
        QTest::newRow("file longer than announced, no ranges")
            << "no-ranges,announce=1000000" << qint64(0)
            << "error NetworkError Server sent more than the announced 1000000 bytes" << 1;
        QTest::newRow("body shorter than announced, no ranges")
            << "no-ranges,short=5000" << qint64(0)
            << "error NetworkError Server sent 5000 bytes of 26214400" << 1;
        QTest::newRow("empty bodies")
            << "empty" << qint64(0) << "error NetworkError Server sent 0 bytes of 26214400" << 1;
        QTest::newRow("file on disk already longer")
            << "" << qint64(BigSize + 10) << "error IOError Downloaded file " << 0;
    }

    void misbehavingServers()
    {
        QFETCH(QString, faults);
        QFETCH(qint64, have);
        QFETCH(QString, outcome);
        QFETCH(int, getRequests);

        // A prefix of the file, the whole file and more, or (negative) that many stale bytes.
        QFile source(m_source);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QByteArray before = have < 0 ? QByteArray(-have, 'x') : source.read(have);
        before += QByteArray(qMax<qint64>(0, have - BigSize), 'x');
        source.seek(0);
        if (!before.isEmpty())
            QVERIFY(TestFiles::write(target(), before));

        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        prepared(downloader, recorder, m_faults.url(Big, faults));
        downloader.download();
        QVERIFY(recorder.waitForEnd());
        QVERIFY2(recorder.last().startsWith(outcome),
            qPrintable(recorder.events.join(QLatin1Char('|'))));
        QCOMPARE(recorder.events.size(), 1);
        // Nothing more is requested later.
        QTest::qWait(300);
        QCOMPARE(gets(m_faults.requests()).size(), getRequests);

        QFile result(target());
        QVERIFY(result.open(QIODevice::ReadOnly));
        if (outcome == QLatin1String("finished")) {
            QCOMPARE(TestFiles::md5(target()), TestFiles::md5(m_source));
        } else if (have > 0) {
            // What was there is untouched.
            QCOMPARE(result.readAll(), before);
        } else {
            // Whatever was written is the file's beginning, and no longer than announced.
            const QByteArray data = result.readAll();
            QVERIFY(data == source.read(data.size()));
            QVERIFY(
                data.size() <= (faults.contains(QLatin1String("=1000000")) ? 1000000 : 26214000));
        }
    }

    // One request at a time; cancelling a size query is an error, cancelling a transfer is not.
    void concurrentCalls()
    {
        Downloader downloader(false, -1);
        Recorder recorder(&downloader);
        downloader.setDownloadDir(m_downloads.path());
        QVERIFY(downloader.setDownloadFile(QStringLiteral("target.bin")));

        const QString slowHead = m_faults.url(Small, QStringLiteral("delay=1500"));
        downloader.prepare(QUrl(slowHead));
        downloader.prepare(QUrl(m_nginx.url(Small)));
        downloader.download();
        QCOMPARE(recorder.events,
            QStringList({QStringLiteral("error BusyError There is a download still running: %1")
                             .arg(slowHead),
                QStringLiteral("error BusyError There is a download still running: %1")
                    .arg(slowHead)}));
        QTRY_COMPARE(recorder.events.size(), 3);
        QCOMPARE(recorder.events.last(), QStringLiteral("prepared %1").arg(SmallSize));
        QVERIFY(downloader.isPrepared(QUrl(slowHead)));
        QVERIFY(!downloader.isPrepared(QUrl(m_nginx.url(Small))));
        recorder.events.clear();

        downloader.prepare(QUrl(slowHead));
        downloader.cancel();
        QVERIFY(recorder.waitForEnd());
        QCOMPARE(
            recorder.events, QStringList {QStringLiteral("error NetworkError Operation canceled")});
        recorder.events.clear();

        const QString slowBody = m_faults.url(Big, QStringLiteral("trickle=65536"));
        prepared(downloader, recorder, slowBody);
        downloader.download();
        QVERIFY(!downloader.setDownloadFile(QStringLiteral("other.bin")));
        QTRY_VERIFY(!recorder.progress.isEmpty());
        downloader.download();
        QCOMPARE(recorder.events,
            QStringList {QStringLiteral("error BusyError There is a download still running: %1")
                             .arg(slowBody)});
        downloader.cancel();
        QTRY_COMPARE(recorder.events.size(), 2);
        QCOMPARE(recorder.events.last(), QStringLiteral("cancelled"));
        QVERIFY(downloader.setDownloadFile(QStringLiteral("other.bin")));
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
