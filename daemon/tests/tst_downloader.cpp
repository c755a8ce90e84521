// The resumable downloader against real HTTPS servers on the device's loopback: nginx for the
// well-behaved paths, the fault server for what nginx will not do. The servers' request logs
// are the witness of what was asked for; checksums prove what ended up on disk.
#include "enums.h"
#include "faultserver.h"
#include "fileio.h"
#include "releaseserver.h"
#include "resetupdatemanager/downloader.h"
#include "signalrecorder.h"
#include "ssusettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace Corvane;
using Corvane::ResetUpdates::Downloader;

namespace {

constexpr qint64 BigSize = 26214400; // 25 MiB: three chunks
constexpr qint64 BuildSize = 11534336; // 11 MiB: two chunks
const QString Big = QStringLiteral("big.bin");
const QString Small = QStringLiteral("small.bin");
const QString HeadersFile = QStringLiteral("/etc/ssu/headers.json");

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

    // The server a row names: "nginx", "self-signed", "insecure" (the same, trusted anyway) or
    // the faults of the fault server; with the URL of a file there.
    struct Source
    {
        ReleaseServer *nginx;
        FaultServer *faults;
        QString url;
        QString root() const { return nginx ? nginx->root() : faults->root(); }
        QList<QJsonObject> log() const { return nginx ? nginx->requests() : faults->requests(); }
        void clearLog() const { nginx ? nginx->clearLog() : faults->clearLog(); }
    };
    Source source(const QString &server, const QString &name)
    {
        ReleaseServer *nginx = server == QLatin1String("nginx") ? &m_nginx : nullptr;
        if (server == QLatin1String("self-signed") || server == QLatin1String("insecure"))
            nginx = &m_selfSigned;
        return {nginx, &m_faults, nginx ? nginx->url(name) : m_faults.url(name, server)};
    }

    // The answer to the size query of the URL for the target file.
    QString query(Downloader &downloader, SignalRecorder &recorder, const QString &url)
    {
        downloader.setDownloadDir(m_downloads.path());
        if (!downloader.setDownloadFile(QStringLiteral("target.bin")))
            return QStringLiteral("no target file");
        downloader.prepare(QUrl(url));
        return recorder.waitForEvents() ? recorder.last() : QStringLiteral("no answer");
    }

    // The same; it must succeed.
    void prepare(Downloader &downloader, SignalRecorder &recorder, const QString &url)
    {
        const QString answer = query(downloader, recorder, url);
        QVERIFY2(answer.startsWith("prepareFinished"), qPrintable(answer));
        recorder.events.clear();
    }

    // The outcome of a whole download of the URL into the target file by a new downloader, as
    // after a restart.
    QString download(const QString &url, bool insecure = false)
    {
        Downloader downloader(insecure, -1);
        SignalRecorder recorder(&downloader);
        prepare(downloader, recorder, url);
        downloader.download();
        return recorder.waitForEvents() ? recorder.last() : QStringLiteral("no outcome");
    }

    // A server logs a request when it is done with it, which under load can be a moment after
    // the client has its last byte: a log is cleared only once it has stopped growing.
    void settleLogs()
    {
        const auto logged = [this] {
            return m_nginx.requests().size() + m_selfSigned.requests().size() +
                m_faults.requests().size();
        };
        QElapsedTimer quiet;
        quiet.start();
        for (int count = logged(), waited = 0; quiet.elapsed() < 200 && waited < 3000;
             waited += 50) {
            QTest::qWait(50);
            const int now = logged();
            if (now != count)
                quiet.restart();
            count = now;
        }
    }

private slots:
    void initTestCase()
    {
        Enums::registerTypes();
        QVERIFY(m_nginx.start(
            {"--log-header", "X-A", "--log-header", "X-B", "--log-header", "If-Range"}));
        QVERIFY(m_selfSigned.start({QStringLiteral("--self-signed")}));
        QVERIFY(m_faults.start());
        QVERIFY(writeRandomFile(QDir(m_nginx.root()).filePath(Small), 100000));
        const QString source = QDir(m_nginx.root()).filePath(Big);
        QVERIFY(writeRandomFile(source, BigSize));
        for (const QString &root : {m_selfSigned.root(), m_faults.root()})
            QVERIFY(QFile::copy(source, QDir(root).filePath(Big)));
        m_source = readFile(source);
    }

    void cleanup() { settleLogs(); }

    void init()
    {
        SsuSettings(m_nginx.address()).write();
        QFile::remove(HeadersFile);
        QFile::remove(m_faults.calm());
        QDir(m_downloads.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_downloads.path()));
        m_nginx.clearLog();
        m_selfSigned.clearLog();
        m_faults.clearLog();
    }

    // A size query, then the transfers from whatever an earlier download of the URL left, in
    // ranged chunks of at most 10 MiB + 1. Servers that lie never make the file grow past the
    // announced size, get no bytes written at the wrong offset and cause no request loop. After
    // any interruption a new downloader, as after a restart, continues from the bytes on disk
    // as long as the server still describes the same file.
    void transfers_data()
    {
        QTest::addColumn<QString>("server"); // "nginx", "self-signed", "insecure" or the faults
        // A prefix left by an earlier download of the URL (more than the file: stale bytes
        // appended); negative: that many bytes nobody knows the origin of.
        QTest::addColumn<qint64>("have");
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
        row("empty file", "nginx", 0, "downloadFinished", {r0, r1, r2}, BigSize);
        row("exactly one chunk left", "nginx", 15728640, "downloadFinished",
            {"bytes=15728640-26214400"}, BigSize);
        row("one byte left", "nginx", BigSize - 1, "downloadFinished", {"bytes=26214399-26214400"},
            BigSize);
        row("complete: no request", "nginx", BigSize, "downloadFinished", {}, BigSize);
        row("file longer than announced", "nginx", BigSize + 10, "error IOError Downloaded file",
            {}, BigSize + 10);
        row("untrusted certificate", "self-signed", 0, "error NetworkError", {}, 0);
        row("untrusted certificate, insecure", "insecure", BigSize - 1, "downloadFinished",
            {"bytes=26214399-26214400"}, BigSize);
        row("connection closed at byte N", "drop=12345678", 0, "error NetworkError", {r0, r1}, -1);
        row("every other request fails", "flaky", 0, "error NetworkError", {r0, r1}, 10485761);
        row("trickle, cancelled", "trickle=65536", 0, "downloadCancelled", {r0}, -1);
        row("accept-ranges in capitals", "accept-ranges=Bytes", BigSize - 1000, "downloadFinished",
            {"bytes=26213400-26214400"}, BigSize);
        row("bytes of unknown origin started over", "nginx", -5000, "downloadFinished",
            {r0, r1, r2}, BigSize);
        row("bytes of unknown origin, no ranges", "no-ranges", -5000, "downloadFinished", {""},
            BigSize);
        row("no Content-Length", "no-length", 0, badSize, {}, 0);
        row("negative Content-Length", "announce=-5", 0, badSize, {}, 0);
        // The whole file instead of the part: it starts the file over.
        row("ignores Range when resuming", "ignore-range", 1000, "downloadFinished",
            {"bytes=1000-10486760"}, BigSize);
        row("ignores Range from the start: one whole body", "ignore-range", 0, "downloadFinished",
            {r0}, BigSize);
        row("parts of a longer file than announced", "announce=26214000", 0,
            "error NetworkError The file on the server has changed since its size query "
            "(26214400 bytes instead of 26214000)",
            {r0}, 0);
        // The bound for a body longer than announced: the file stops at the announced size and
        // the download fails.
        row("body longer than announced", "no-ranges,announce=26214000,short=99999999", 0,
            "error NetworkError Server sent more than the announced 26214000 bytes", {""}, -1);
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

        const bool insecure = server == QLatin1String("insecure");
        const Source served = source(server, Big);
        const QString url = served.url;

        if (have > 0) {
            QCOMPARE(download(url, insecure), QStringLiteral("downloadFinished"));
            QFile file(target());
            QVERIFY(file.resize(qMin(have, BigSize)));
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write(QByteArray(int(qMax<qint64>(0, have - BigSize)), 'x')),
                qMax<qint64>(0, have - BigSize));
        } else if (have < 0) {
            writeFile(target(), QByteArray(int(-have), 'x'));
        }
        settleLogs();
        served.clearLog();

        Downloader downloader(insecure, -1);
        SignalRecorder recorder(&downloader);
        const QString answer = query(downloader, recorder, url);
        if (!answer.startsWith(QLatin1String("prepareFinished"))) {
            QVERIFY2(answer.startsWith(outcome), qPrintable(answer));
            downloader.download();
            QCOMPARE(
                recorder.last(), QStringLiteral("error InternalError Download is not prepared"));
            return;
        }
        const qint64 size = answer.section(' ', 1).toLongLong();
        recorder.events.clear();
        downloader.download();
        if (outcome == QLatin1String("downloadCancelled")) {
            QTRY_VERIFY(!recorder.progress.isEmpty());
            downloader.cancel();
        }
        QVERIFY(recorder.waitForEvents());
        QVERIFY2(recorder.last().startsWith(outcome), qPrintable(recorder.events.join('|')));
        QCOMPARE(recorder.events.size(), 1);

        // Progress: the bytes on disk, only when the percentage changes.
        for (int i = 1; i < recorder.progress.size(); ++i)
            QVERIFY(
                recorder.progress.at(i).at(0).toInt() > recorder.progress.at(i - 1).at(0).toInt());
        for (const QVariantList &report : qAsConst(recorder.progress))
            QCOMPARE(
                report.at(0).toInt(), int(double(report.at(1).toLongLong()) / double(size) * 100));
        if (outcome == QLatin1String("downloadFinished"))
            QCOMPARE(recorder.progress.last(), (QVariantList {100, BigSize}));

        // A HEAD first, then the ranges, and nothing more later.
        QTest::qWait(300);
        QTRY_VERIFY2(gets(served.log()) == ranges, qPrintable(gets(served.log()).join(" ")));
        QCOMPARE(served.log().first().value("method").toString(), QStringLiteral("HEAD"));

        const QByteArray data = readFile(target());
        if (kept >= 0)
            QCOMPARE(data.size(), kept);
        if (data.size() > BigSize)
            return; // left as it was
        QVERIFY(m_source.startsWith(data));
        if (data.isEmpty() || data.size() == BigSize)
            return;

        // A new downloader, as after a restart, continues from the bytes on disk at the same
        // URL, served without faults now. Bytes recorded under another size (the server lied
        // about it) start over.
        QVERIFY(!served.nginx);
        writeFile(m_faults.calm(), QByteArray());
        m_faults.clearLog();
        QCOMPARE(download(url), QStringLiteral("downloadFinished"));
        QCOMPARE(md5(target()), md5(QDir(m_nginx.root()).filePath(Big)));
        const qint64 from = size == BigSize ? data.size() : 0;
        QTRY_VERIFY(
            gets(m_faults.requests()).value(0).startsWith(QStringLiteral("bytes=%1-").arg(from)));
    }

    // Credentials and TLS settings go with the size query on a registered device, with the
    // transfers on an unregistered one; without credentials that request is not sent and the
    // operation ends with the error, so that nothing goes on behind it. Site
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
        row("names with a line break or a NUL", false, "s", true, false,
            "[{'matchCriteria': 'contains', 'matchValue': '/', 'headers': {'X-A\\n': 'nl', "
            "'X-A\\u0000x': 'nul', 'X-B': 'fine'}}]",
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

        SsuSettings ssu(m_nginx.address());
        ssu.registered = registered;
        ssu.username = QStringLiteral("dev-1");
        ssu.password = password;
        ssu.sslVerify = sslVerify;
        ssu.sslClientCertAuth = clientCert;
        ssu.sslClientCert = QStringLiteral("/etc/ssu/client.pem");
        ssu.sslClientKey = QStringLiteral("/etc/ssu/client.key");
        ssu.write();
        if (!file.isNull())
            writeFile(HeadersFile, file.replace('\'', '"'));
        const QString authorization = password.isEmpty() ? QString()
                                                         : QStringLiteral("Basic ") +
                QString::fromLatin1((QStringLiteral("dev-1:") + password).toUtf8().toBase64());

        Downloader downloader(false, -1);
        SignalRecorder recorder(&downloader);
        const QString refused = QStringLiteral("error SsuError Ssu: cant get credentials");
        const QString answer = query(downloader, recorder, m_nginx.url(Small));
        if (!password.isEmpty() || !registered) {
            QVERIFY2(answer.startsWith("prepareFinished"), qPrintable(answer));
            recorder.events.clear();
            downloader.download();
            QVERIFY(recorder.waitForEvents());
        }
        if (password.isEmpty()) {
            QCOMPARE(recorder.events, QStringList {refused});
            QTRY_COMPARE(m_nginx.requests().size(), registered ? 0 : 1);
            QTest::qWait(200);
            QCOMPARE(m_nginx.requests().size(), registered ? 0 : 1);
            return;
        }
        QCOMPARE(recorder.last(), QStringLiteral("downloadFinished"));
        QCOMPARE(md5(target()), md5(QDir(m_nginx.root()).filePath(Small)));

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
                decorated && clientCert ? ssu.sslClientCert : QString());
            QCOMPARE(request.value("ssl_clientkey").toString(),
                decorated && clientCert ? ssu.sslClientKey : QString());
        }
    }

    // Another build published at the same URL ends as a byte-identical copy of it, never mixed
    // with the old one's bytes: a change during a download shows in the answer to If-Range, one
    // before the next size query in that query, which starts the file over at once. A new size
    // needs a new size query (a Check), as the size was announced. Without validators only URL
    // and size tell the files apart.
    void republished_data()
    {
        QTest::addColumn<QString>("server"); // "nginx" or the faults
        // The change comes at the first progress report, and meets: the same download
        // ("mid-download"); the next download() after a cancel ("cut"); a new downloader's
        // size query after a cancel ("restart") or after a complete download ("complete").
        QTest::addColumn<QString>("when");
        QTest::addColumn<qint64>("growth"); // of the new build
        QTest::addColumn<QString>("outcome"); // of the first download that meets the change
        QTest::addColumn<bool>("resumed"); // the new build's tail went behind the old head

        const auto row = [](const char *name, const char *server, const char *when, qint64 growth,
                             const QString &outcome, bool resumed = false) {
            QTest::newRow(name) << QString(server) << QString(when) << growth << outcome << resumed;
        };
        const QString changed = QStringLiteral(
            "error NetworkError The file on the server has changed since its size query (");
        const QString finished = QStringLiteral("downloadFinished");
        row("mid-download", "nginx", "mid-download", 0, finished);
        row("mid-download, other size", "nginx", "mid-download", 4096,
            changed + QStringLiteral("11538432 bytes instead of 11534336)"));
        row("next download after a cut", "nginx", "cut", 0, finished);
        row("complete download no longer counts", "nginx", "complete", 0, finished);
        row("Last-Modified only, mid-download", "last-modified", "mid-download", 0, finished);
        row("server ignores If-Range", "ignore-if-range", "cut", 0, changed + "ETag ");
        row("no validators, other size", "no-validators", "restart", -4096, finished);
        row("no validators, same size: resumed", "no-validators", "restart", 0, finished, true);
    }

    void republished()
    {
        QFETCH(QString, server);
        QFETCH(QString, when);
        QFETCH(qint64, growth);
        QFETCH(QString, outcome);
        QFETCH(bool, resumed);

        const Source served = source(server, QStringLiteral("build.bin"));
        const QString path = QDir(served.root()).filePath(QStringLiteral("build.bin"));
        const QString url = served.url;
        const auto log = [&served] {
            return served.log();
        };
        QVERIFY(publish(path, BuildSize));
        served.clearLog();

        QScopedPointer<Downloader> downloader(new Downloader(false, -1));
        QScopedPointer<SignalRecorder> recorder(new SignalRecorder(downloader.data()));
        bool published = false;
        bool armed = true;
        connect(downloader.data(), &Downloader::progress, recorder.data(), [&] {
            if (!armed)
                return;
            armed = false;
            if (when == QLatin1String("mid-download"))
                published = publish(path, BuildSize + growth);
            else if (when != QLatin1String("complete"))
                downloader->cancel();
        });
        prepare(*downloader, *recorder, url);
        downloader->download();
        QVERIFY(recorder->waitForEvents());
        armed = false;
        const qint64 have = QFileInfo(target()).size();
        if (when != QLatin1String("mid-download")) {
            const bool complete = when == QLatin1String("complete");
            QCOMPARE(recorder->last(),
                QLatin1String(complete ? "downloadFinished" : "downloadCancelled"));
            // nginx logs a request once it has ended.
            QTRY_COMPARE(gets(log()).size(), complete ? 2 : 1);
            served.clearLog();
            QVERIFY(publish(path, BuildSize + growth));
            published = true;
            if (when == QLatin1String("cut")) {
                recorder->events.clear();
                downloader->download();
            } else {
                recorder.reset();
                downloader.reset(new Downloader(false, -1));
                recorder.reset(new SignalRecorder(downloader.data()));
                prepare(*downloader, *recorder, url);
                QCOMPARE(QFileInfo(target()).size(), resumed ? have : 0);
                downloader->download();
            }
            QVERIFY(recorder->waitForEvents());
            const qint64 from = resumed || when == QLatin1String("cut") ? have : 0;
            QTRY_VERIFY(!gets(log()).isEmpty());
            QVERIFY2(gets(log()).first().startsWith(QStringLiteral("bytes=%1-").arg(from)),
                qPrintable(gets(log()).join(' ')));
        }
        QVERIFY(published);
        QVERIFY2(recorder->last().startsWith(outcome), qPrintable(recorder->events.join('|')));

        if (outcome != QLatin1String("downloadFinished")) {
            // A new size query, as a Check makes, describes the new build.
            recorder->events.clear();
            prepare(*downloader, *recorder, url);
            QCOMPARE(QFileInfo(target()).size(), qint64(0));
            downloader->download();
            QVERIFY(recorder->waitForEvents());
            QCOMPARE(recorder->last(), QStringLiteral("downloadFinished"));
        }
        QCOMPARE(QFileInfo(target()).size(), BuildSize + growth);
        if (!resumed)
            QCOMPARE(md5(target()), md5(path));
        // Every ranged request names the version its bytes continue, where the server gave one.
        QTRY_VERIFY(!ifRanges(log()).isEmpty());
        for (const QString &value : ifRanges(log()))
            QCOMPARE(value.isEmpty(), server == QLatin1String("no-validators"));
    }
};

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
