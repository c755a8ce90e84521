#include "downloader.h"

#include "headerpolicy.h"
#include "networkaccessmanager.h"
#include "ssuintegration.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

namespace Corvane {
namespace ResetUpdates {

namespace {

const QString HeadersFile = QStringLiteral("/etc/ssu/headers.json");
// One broken connection costs at most this much (the end is inclusive, so one byte more).
constexpr qint64 ChunkSize = 10485760;
// What Qt may buffer per reply before it stops reading from the socket. It bounds memory when a
// server without ranges sends the whole image faster than the disk takes it. 64 KiB was fastest
// when measured: Qt's network thread then hands the data over in the fewest pieces (16 KiB to
// 1 MiB and unlimited were tried).
constexpr qint64 ReadBufferSize = 64 * 1024;

// The reply's HTTP status when it is not a success (2xx), else 0. A reply without a status
// (not HTTP) counts as a success: its errors show as network errors.
int unsuccessfulStatus(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return 0;
    const int code = status.toInt();
    return code >= 200 && code <= 299 ? 0 : code;
}

// The first byte position of a "Content-Range: bytes FIRST-LAST/TOTAL" header, or -1.
qint64 contentRangeStart(const QByteArray &header)
{
    const QByteArray value = header.trimmed();
    if (!value.startsWith("bytes "))
        return -1;
    const int dash = value.indexOf('-', 6);
    if (dash < 0)
        return -1;
    bool ok = false;
    const qint64 start = value.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return ok ? start : -1;
}

// TOTAL of such a header, or -1 when it is missing or "*".
qint64 contentRangeTotal(const QByteArray &header)
{
    const int slash = header.indexOf('/');
    if (slash < 0)
        return -1;
    bool ok = false;
    const qint64 total = header.mid(slash + 1).trimmed().toLongLong(&ok);
    return ok ? total : -1;
}

} // namespace

Downloader::Downloader(bool insecure, qint64 size, QObject *parent)
    : QObject(parent)
    , m_expectedSize(size)
    , m_insecure(insecure)
    , m_ssu(new SsuIntegration(this))
{
}

Downloader::~Downloader()
{
    if (m_currentReply) {
        // The owner is going away: nobody is left to hear how the request ended.
        m_currentReply->disconnect(this);
        if (m_currentReply->isRunning()) {
            qDebug() << Q_FUNC_INFO << "Canceling download...";
            m_currentReply->abort();
        }
        m_currentReply->deleteLater();
    }
    m_targetFile.close();
}

void Downloader::setDownloadDir(const QString &dir)
{
    qDebug() << Q_FUNC_INFO << "New download dir:" << dir;
    m_downloadDir = dir;
}

bool Downloader::setDownloadFile(const QString &name)
{
    if (name.isEmpty() || m_targetFile.isOpen())
        return false;
    const QString path = QDir(m_downloadDir).absoluteFilePath(name);
    qDebug() << Q_FUNC_INFO << "New download filename:" << name;
    qDebug() << Q_FUNC_INFO << "Absolute path:" << path;
    m_targetFile.setFileName(path);
    return true;
}

bool Downloader::Origin::operator==(const Origin &other) const
{
    return url == other.url && size == other.size && etag == other.etag &&
        lastModified == other.lastModified;
}

bool Downloader::isPrepared(const QUrl &url) const
{
    return url.isValid() && url == m_preparedUrl && m_expectedSize > 0;
}

bool Downloader::fileExists() const
{
    return QFileInfo::exists(m_targetFile.fileName());
}

bool Downloader::isComplete() const
{
    const QFileInfo file(fileName());
    if (!file.exists())
        return false;
    if (!QFileInfo::exists(originFileName()))
        return true;
    const Origin origin = readOrigin();
    return origin.size >= 0 && file.size() == origin.size;
}

QString Downloader::fileName() const
{
    return m_targetFile.fileName();
}

bool Downloader::releaseFinishedReply()
{
    if (m_building || (m_currentReply && m_currentReply->isRunning())) {
        const QUrl running = m_currentReply && !m_building ? m_currentReply->url() : m_preparedUrl;
        emit error(Enums::UpdateError::BusyError,
            QStringLiteral("There is a download still running: %1").arg(running.toDisplayString()));
        return false;
    }
    if (m_currentReply) {
        m_currentReply->deleteLater();
        m_currentReply = nullptr;
    }
    return true;
}

void Downloader::prepare(const QUrl &url)
{
    if (!releaseFinishedReply())
        return;
    if (!url.isValid()) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Download URL is not valid"));
        return;
    }
    if (!QDir(m_downloadDir).exists() && !QDir(m_downloadDir).mkpath(QStringLiteral("."))) {
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Failed to create download dir: %1").arg(m_downloadDir));
        return;
    }
    qDebug() << Q_FUNC_INFO << "Preparing download:" << url.toDisplayString();

    QNetworkRequest request(url);
    // Resuming is done in bytes of the file itself, never of a compressed transfer of it.
    request.setRawHeader("Accept-Encoding", "identity");
    const Decoration decoration = decorate(&request, m_ssu->isRegistered());
    m_preparedUrl = url;
    // They described the file of the previous URL.
    m_etag.clear();
    m_lastModified.clear();
    if (decoration == Decoration::NoCredentials)
        return;
    if (decoration == Decoration::Cancelled) {
        // A size query that was cancelled before it was sent ends like an aborted one.
        emit error(Enums::UpdateError::NetworkError, QStringLiteral("Operation canceled"));
        return;
    }

    m_currentReply = networkAccessManager()->head(request);
    connect(m_currentReply, &QNetworkReply::finished, this, &Downloader::headFinished);
    connect(m_currentReply, &QNetworkReply::sslErrors, this, &Downloader::sslErrors);
}

void Downloader::headFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_currentReply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        emit error(Enums::UpdateError::NetworkError, reply->errorString());
        return;
    }
    const int status = unsuccessfulStatus(reply);
    if (status != 0) {
        // Redirects are not followed: their headers describe no file.
        emit error(Enums::UpdateError::NetworkError,
            QStringLiteral("Unexpected HTTP status %1").arg(status));
        return;
    }

    const QList<QNetworkReply::RawHeaderPair> headers = reply->rawHeaderPairs();
    for (const QNetworkReply::RawHeaderPair &header : headers) {
        qDebug() << Q_FUNC_INFO << "Header -" << header.first << ":" << header.second;
        if (header.first.compare("accept-ranges", Qt::CaseInsensitive) == 0) {
            qDebug() << Q_FUNC_INFO << "Release server supports ranges:" << header.second;
            m_rangesSupported = header.second.compare("bytes", Qt::CaseInsensitive) == 0;
        }
    }

    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 size = length.isValid() ? length.toLongLong(&ok) : 0;
    m_expectedSize = ok ? size : 0;
    if (m_expectedSize <= 0) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Incorrect download size"));
        return;
    }
    m_etag = reply->rawHeader("ETag");
    m_lastModified = reply->rawHeader("Last-Modified");
    // A file left by an earlier download that the server no longer serves must not count as
    // downloaded, not even by an installation that comes before the next download().
    if (!m_targetFile.isOpen() && QFileInfo(fileName()).size() > 0 &&
        readOrigin() != preparedOrigin()) {
        const QString failure = startOver(preparedOrigin());
        if (!failure.isEmpty()) {
            emit error(Enums::UpdateError::IOError, failure);
            return;
        }
    }
    qDebug() << Q_FUNC_INFO << "Prepared download successfully:" << m_preparedUrl.toDisplayString();
    qDebug() << Q_FUNC_INFO << "Download size:" << m_expectedSize;
    emit prepareFinished(m_expectedSize);
}

void Downloader::download()
{
    if (!releaseFinishedReply())
        return;
    if (!isPrepared(m_preparedUrl)) {
        emit error(Enums::UpdateError::InternalError, QStringLiteral("Download is not prepared"));
        return;
    }
    if (!m_targetFile.isOpen()) {
        // Unbuffered: what write() accepted is in the file, so the size on disk is the resume
        // point and a failed write shows at once.
        QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
        if (m_rangesSupported)
            mode |= QIODevice::Append;
        if (!m_targetFile.open(mode)) {
            emit error(Enums::UpdateError::IOError,
                QStringLiteral("Failed to open file for download: %1").arg(fileName()));
            return;
        }
    }
    // The record goes to disk before any byte it describes. Bytes without one (a crash of an
    // older version, a copy from elsewhere) come from nobody knows where.
    if (readOrigin() != preparedOrigin()) {
        const QString failure = startOver(preparedOrigin());
        if (!failure.isEmpty()) {
            m_targetFile.close();
            emit error(Enums::UpdateError::IOError, failure);
            return;
        }
    }

    const qint64 have = m_targetFile.size();
    reportProgress(have, false);
    if (have == m_expectedSize) {
        emit downloadFinished();
        m_targetFile.close();
        return;
    }
    if (have > m_expectedSize) {
        // These bytes cannot be part of the announced file; requesting more would only make
        // the file longer. The bytes stay, as always.
        m_targetFile.close();
        emit error(Enums::UpdateError::IOError,
            QStringLiteral("Downloaded file %1 is larger than the announced size %2")
                .arg(fileName())
                .arg(m_expectedSize));
        return;
    }

    qDebug() << Q_FUNC_INFO << "Downloading:" << m_preparedUrl.toDisplayString();
    QNetworkRequest request(m_preparedUrl);
    request.setRawHeader("Accept-Encoding", "identity");
    const Decoration decoration = decorate(&request, !m_ssu->isRegistered());
    if (decoration != Decoration::Send) {
        m_targetFile.close();
        if (decoration == Decoration::Cancelled)
            emit downloadCancelled();
        return;
    }

    if (m_rangesSupported) {
        const qint64 end = m_expectedSize - have > ChunkSize ? have + ChunkSize : m_expectedSize;
        const QString range = QStringLiteral("bytes=%1-%2").arg(have).arg(end);
        request.setRawHeader("Range", range.toUtf8());
        qDebug() << Q_FUNC_INFO << "Range:" << range;
        // A file that changed since the size query comes back whole (200), never as a part of
        // another file to be appended to these bytes.
        const QByteArray ifRange = validator();
        if (!ifRange.isEmpty())
            request.setRawHeader("If-Range", ifRange);
        m_bodyOffset = have;
        m_wholeBody = false;
    } else {
        // The whole body is requested, so it is written from the start of the file.
        m_targetFile.seek(0);
        m_bodyOffset = 0;
        m_wholeBody = true;
    }
    m_replyBytes = 0;
    m_responseChecked = false;
    m_discardBody = false;
    m_failure = Failure();

    m_currentReply = networkAccessManager()->get(request);
    m_currentReply->setReadBufferSize(ReadBufferSize);
    connect(m_currentReply, &QNetworkReply::readyRead, this, &Downloader::getReadyRead);
    connect(m_currentReply, &QNetworkReply::finished, this, &Downloader::getFinished);
    connect(m_currentReply, &QNetworkReply::sslErrors, this, &Downloader::sslErrors);
}

void Downloader::cancel()
{
    qDebug() << Q_FUNC_INFO << "Canceling download...";
    if (m_building)
        m_cancelRequested = true;
    if (m_currentReply && m_currentReply->isRunning())
        m_currentReply->abort();
}

Downloader::Decoration Downloader::decorate(QNetworkRequest *request, bool withSsuHeaders)
{
    m_building = true;
    m_cancelRequested = false;
    // The credentials may run a nested event loop, in which cancel() may be called.
    bool credentials = true;
    if (withSsuHeaders) {
        credentials = addAuthorizationHeader(request);
        addSslHeaders(request);
    }
    setExtraHeaders(request->url().toDisplayString(), request);
    m_building = false;
    if (m_cancelRequested)
        return Decoration::Cancelled;
    return credentials ? Decoration::Send : Decoration::NoCredentials;
}

bool Downloader::addAuthorizationHeader(QNetworkRequest *request)
{
    const QString scope = m_ssu->credentialsScope(QString(), false);
    const QPair<QString, QString> credentials = m_ssu->credentials(scope);
    if (credentials.first.isEmpty() || credentials.second.isEmpty()) {
        // The request is not sent: the error ends the operation for the service, which goes
        // Idle; a request sent anyway would go on writing the image behind that status, refuse
        // the next Download and mark the update downloaded with no operation running.
        emit error(Enums::UpdateError::SsuError, QStringLiteral("Ssu: cant get credentials"));
        return false;
    }
    const QByteArray pair =
        (credentials.first + QLatin1Char(':') + credentials.second).toLocal8Bit();
    request->setRawHeader("Authorization", "Basic " + pair.toBase64());
    return true;
}

void Downloader::addSslHeaders(QNetworkRequest *request)
{
    if (!m_ssu->useSslVerify())
        request->setRawHeader("ssl_verify", "no");
    if (m_ssu->useSslClientCertAuth()) {
        request->setRawHeader("ssl_clientcert", m_ssu->sslClientCert().toLocal8Bit());
        request->setRawHeader("ssl_clientkey", m_ssu->sslClientKey().toLocal8Bit());
    }
}

void Downloader::setExtraHeaders(const QString &url, QNetworkRequest *request)
{
    QFile file(HeadersFile);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << Q_FUNC_INFO << "headers.json exists but not readable!";
        return;
    }
    qDebug() << Q_FUNC_INFO << "reading headers from headers.json";
    const HeaderPolicy::Headers headers = HeaderPolicy::headersFor(url, file.readAll());
    for (const auto &header : headers)
        request->setRawHeader(header.first, header.second);
}

int Downloader::percentage(qint64 bytes) const
{
    if (m_expectedSize <= 0)
        return 0;
    return static_cast<int>(
        static_cast<double>(bytes) / static_cast<double>(m_expectedSize) * 100.0);
}

void Downloader::reportProgress(qint64 bytes, bool log)
{
    const int percent = percentage(bytes);
    if (percent == m_lastProgress)
        return;
    if (log)
        qDebug() << Q_FUNC_INFO << "Wrote" << bytes << "bytes (" << percent << "%):" << fileName();
    m_lastProgress = percent;
    emit progress(percent, bytes);
}

bool Downloader::acceptResponse()
{
    if (m_responseChecked)
        return !m_discardBody;
    m_responseChecked = true;
    if (unsuccessfulStatus(m_currentReply) != 0) {
        // An error page or a redirect: getFinished() reports it; its body is no part of the file.
        m_discardBody = true;
        return false;
    }
    const QVariant status = m_currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.toInt() == 206 ? acceptPart() : acceptWholeFile();
}

bool Downloader::acceptPart()
{
    const QByteArray range = m_currentReply->rawHeader("Content-Range");
    const qint64 start = contentRangeStart(range);
    if (start != m_bodyOffset) {
        fail(Enums::UpdateError::NetworkError,
            QStringLiteral("Server did not send the requested range (status 206, from byte %1 "
                           "instead of %2)")
                .arg(start)
                .arg(m_bodyOffset));
        return false;
    }
    // If-Range already keeps the parts of another file out; this catches a server or proxy that
    // ignores it. The file on disk stays as it is, and the next size query starts it over.
    const qint64 total = contentRangeTotal(range);
    const QByteArray etag = m_currentReply->rawHeader("ETag");
    const QByteArray modified = m_currentReply->rawHeader("Last-Modified");
    QString changed;
    if (total >= 0 && total != m_expectedSize)
        changed = QStringLiteral("%1 bytes instead of %2").arg(total).arg(m_expectedSize);
    else if (!etag.isEmpty() && !m_etag.isEmpty() && etag != m_etag)
        changed = QStringLiteral("ETag %1 instead of %2")
                      .arg(QString::fromLatin1(etag), QString::fromLatin1(m_etag));
    else if (!modified.isEmpty() && !m_lastModified.isEmpty() && modified != m_lastModified)
        changed = QStringLiteral("Last-Modified %1 instead of %2")
                      .arg(QString::fromLatin1(modified), QString::fromLatin1(m_lastModified));
    if (!changed.isEmpty()) {
        fail(Enums::UpdateError::NetworkError,
            QStringLiteral("The file on the server has changed since its size query (%1)")
                .arg(changed));
        return false;
    }
    return true;
}

bool Downloader::acceptWholeFile()
{
    // The whole file from its first byte: asked for without Range, or sent instead of the part
    // because the file changed since the validator in If-Range or the server ignores Range.
    const QVariant length = m_currentReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_expectedSize) {
        // The owner announced the size of the size query; another size needs another query.
        fail(Enums::UpdateError::NetworkError,
            QStringLiteral("The file on the server has changed since its size query (%1 bytes "
                           "instead of %2)")
                .arg(length.toLongLong())
                .arg(m_expectedSize));
        return false;
    }
    Origin origin = preparedOrigin();
    origin.etag = m_currentReply->rawHeader("ETag");
    origin.lastModified = m_currentReply->rawHeader("Last-Modified");
    if (m_wholeBody && origin == preparedOrigin())
        return true; // written from the first byte over the same file's bytes
    m_etag = origin.etag;
    m_lastModified = origin.lastModified;
    const QString failure = startOver(origin);
    if (!failure.isEmpty()) {
        fail(Enums::UpdateError::IOError, failure);
        return false;
    }
    m_bodyOffset = 0;
    m_wholeBody = true;
    return true;
}

void Downloader::writeAvailable()
{
    if (!acceptResponse()) {
        if (m_discardBody)
            m_currentReply->readAll();
        return;
    }
    const QByteArray data = m_currentReply->readAll();
    if (data.isEmpty())
        return;
    if (m_targetFile.pos() + data.size() > m_expectedSize) {
        // The bound for a server whose body is longer than its announced size: the file stops
        // at that size and the download fails, instead of growing without end.
        fail(Enums::UpdateError::NetworkError,
            QStringLiteral("Server sent more than the announced %1 bytes").arg(m_expectedSize));
        return;
    }
    const qint64 written = m_targetFile.write(data);
    if (written != data.size()) {
        fail(Enums::UpdateError::IOError,
            QStringLiteral("Failed to write %1: %2").arg(fileName(), m_targetFile.errorString()));
        return;
    }
    m_targetFile.flush();
    m_replyBytes += written;
    reportProgress(m_targetFile.size(), true);
}

void Downloader::getReadyRead()
{
    if (sender() != m_currentReply || m_failure.code != Enums::UpdateError::NoError)
        return;
    writeAvailable();
}

void Downloader::fail(Enums::UpdateError code, const QString &details)
{
    m_failure = {code, details};
    // abort() ends in getFinished(), which reports the failure.
    m_currentReply->abort();
}

void Downloader::endDownload()
{
    m_targetFile.close();
    m_bodyOffset = -1;
}

void Downloader::getFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_currentReply)
        return;
    if (m_failure.code == Enums::UpdateError::NoError && reply->error() == QNetworkReply::NoError &&
        reply->bytesAvailable() > 0)
        writeAvailable();

    if (m_failure.code != Enums::UpdateError::NoError) {
        const Failure failure = m_failure;
        m_failure = Failure();
        endDownload();
        emit error(failure.code, failure.details);
        return;
    }
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        endDownload();
        emit downloadCancelled();
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        endDownload();
        emit error(Enums::UpdateError::NetworkError, reply->errorString());
        return;
    }
    const int status = unsuccessfulStatus(reply);
    if (status != 0) {
        endDownload();
        emit error(Enums::UpdateError::NetworkError,
            QStringLiteral("Unexpected HTTP status %1").arg(status));
        return;
    }
    // Each successful request must bring the file closer to its size, or the next one would
    // be the same request again, without end.
    if (m_replyBytes == 0 || (m_wholeBody && m_replyBytes != m_expectedSize)) {
        endDownload();
        emit error(Enums::UpdateError::NetworkError,
            QStringLiteral("Server sent %1 bytes of %2").arg(m_replyBytes).arg(m_expectedSize));
        return;
    }
    qDebug() << Q_FUNC_INFO << "Finished current download";
    m_bodyOffset = -1;
    download();
}

Downloader::Origin Downloader::preparedOrigin() const
{
    return {m_preparedUrl.toString(QUrl::RemovePassword | QUrl::FullyEncoded), m_expectedSize,
        m_etag, m_lastModified};
}

QByteArray Downloader::validator() const
{
    // A weak ETag may stay the same across changes of single bytes.
    if (!m_etag.isEmpty() && !m_etag.startsWith("W/"))
        return m_etag;
    return m_lastModified;
}

QString Downloader::originFileName() const
{
    return fileName() + QStringLiteral(".origin");
}

Downloader::Origin Downloader::readOrigin() const
{
    QFile file(originFileName());
    if (!file.open(QIODevice::ReadOnly))
        return Origin();
    const QJsonObject record = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    const QJsonValue size = record.value(QStringLiteral("size"));
    if (!size.isDouble())
        return Origin();
    Origin origin;
    origin.url = record.value(QStringLiteral("url")).toString();
    origin.size = static_cast<qint64>(size.toDouble());
    origin.etag = record.value(QStringLiteral("etag")).toString().toLatin1();
    origin.lastModified = record.value(QStringLiteral("lastModified")).toString().toLatin1();
    return origin;
}

QString Downloader::startOver(const Origin &origin)
{
    // The one case in which the downloader truncates: the bytes on disk cannot be continued,
    // because they came from another file than the one the server describes now (another URL,
    // size or validator), or because the server sends the whole file from its first byte.
    // Appended to, they would make a file that is neither. The record is replaced only after
    // the truncation, so a crash in between leaves an empty file under a stale record, which
    // simply starts over again.
    qDebug() << Q_FUNC_INFO << "Starting the download again from its first byte:" << fileName();
    const bool emptied = m_targetFile.isOpen()
        ? m_targetFile.resize(0) && m_targetFile.seek(0)
        : !QFileInfo::exists(fileName()) || QFile::resize(fileName(), 0);
    if (!emptied)
        return QStringLiteral("Failed to truncate %1").arg(fileName());

    const QJsonObject record {
        {QStringLiteral("url"), origin.url},
        {QStringLiteral("size"), static_cast<double>(origin.size)},
        {QStringLiteral("etag"), QString::fromLatin1(origin.etag)},
        {QStringLiteral("lastModified"), QString::fromLatin1(origin.lastModified)},
    };
    const QByteArray json = QJsonDocument(record).toJson(QJsonDocument::Compact);
    // Written whole or not at all: a torn record could describe the new file by halves.
    QSaveFile file(originFileName());
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit())
        return QStringLiteral("Failed to write %1: %2").arg(originFileName(), file.errorString());
    return QString();
}

void Downloader::sslErrors(const QList<QSslError> &errors)
{
    if (!m_insecure)
        return;
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    qDebug() << Q_FUNC_INFO << "Ignoring SSL errors:" << errors;
    reply->ignoreSslErrors(errors);
}

} // namespace ResetUpdates
} // namespace Corvane
