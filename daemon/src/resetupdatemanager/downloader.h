#pragma once

#include "enums.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;

namespace Corvane {

class SsuIntegration;

namespace ResetUpdates {

/**
 * Fetches one large file over HTTP(S) into a file of the cache and survives interruptions.
 *
 * prepare() learns the size (HEAD) and whether the server serves byte ranges; download() then
 * appends to whatever the file already holds, one GET of at most 10 MiB after the other, until
 * the file has exactly the announced size. Every request carries the SSU credentials and TLS
 * settings and the site headers of "/etc/ssu/headers.json".
 *
 * The file never grows past the announced size: a server that sends more, answers a range
 * request from the wrong offset, or keeps answering without data ends the download with
 * error() instead. Beside the file, in fileName() + ".origin", the downloader keeps what the
 * server said about it (URL, size, ETag, Last-Modified); a later download() resumes from the
 * bytes on disk only while the server still describes the same file, and otherwise starts the
 * file again from its first byte. Nothing else deletes or truncates bytes on disk.
 *
 * Main thread only. Building a request may re-enter the event loop (SSU credentials): the
 * owner must not delete the downloader from there.
 */
class Downloader : public QObject
{
    Q_OBJECT

public:
    Downloader(bool insecure, qint64 size, QObject *parent = nullptr);
    // Aborts a running request without emitting anything.
    ~Downloader() override;

    // Neither checked nor created here; prepare() creates it.
    void setDownloadDir(const QString &dir);
    // False when the name is empty or the file is open for a running download.
    [[nodiscard]] bool setDownloadFile(const QString &name);

    // Ends with prepareFinished() or error().
    void prepare(const QUrl &url);
    // Ends with downloadFinished(), downloadCancelled() or error(), progress() before.
    void download();
    void cancel();

    bool isPrepared(const QUrl &url) const;
    bool fileExists() const;
    // The file holds all bytes of the file its record describes. A file without a record was
    // put there by someone else and is taken as it is.
    bool isComplete() const;
    QString fileName() const;

signals:
    void progress(int progress, qint64 bytes);
    void prepareFinished(qint64 downloadSize);
    void downloadFinished();
    void downloadCancelled();
    void error(Corvane::Enums::UpdateError code, QString details);

private slots:
    void sslErrors(const QList<QSslError> &errors);
    void headFinished();
    void getReadyRead();
    void getFinished();

private:
    struct Failure
    {
        Enums::UpdateError code = Enums::UpdateError::NoError;
        QString details;
    };

    // What the server said about a file. Bytes on disk continue only the file of the origin
    // recorded beside them.
    struct Origin
    {
        QString url; // without password
        qint64 size = -1;
        QByteArray etag;
        QByteArray lastModified;

        bool operator==(const Origin &other) const;
        bool operator!=(const Origin &other) const { return !(*this == other); }
    };

    // False (and BusyError emitted) when a request is running or being built.
    bool releaseFinishedReply();
    // Adds the SSU and site headers; false when the downloader was cancelled meanwhile.
    enum class Decoration { Send, Cancelled, NoCredentials };
    Decoration decorate(QNetworkRequest *request, bool withSsuHeaders);
    bool addAuthorizationHeader(QNetworkRequest *request);
    void addSslHeaders(QNetworkRequest *request);
    void setExtraHeaders(const QString &url, QNetworkRequest *request);

    int percentage(qint64 bytes) const;
    void reportProgress(qint64 bytes, bool log);
    // Checks the response once before its first byte is written; false when it was refused.
    bool acceptResponse();
    bool acceptPart();
    bool acceptWholeFile();
    void writeAvailable();
    // Stops the running GET for a reason of our own, reported by getFinished().
    void fail(Enums::UpdateError code, const QString &details);
    void endDownload();

    Origin preparedOrigin() const;
    // The strong validator of the prepared file for If-Range; empty when the server gave none.
    QByteArray validator() const;
    QString originFileName() const;
    // An origin that matches no file when the record is missing or unreadable.
    Origin readOrigin() const;
    // Empties the file and records the origin its next bytes come from; the error text, or an
    // empty string on success.
    [[nodiscard]] QString startOver(const Origin &origin);

    bool m_rangesSupported = false;
    qint64 m_expectedSize;
    QFile m_targetFile;
    QString m_downloadDir;
    QUrl m_preparedUrl;
    QNetworkReply *m_currentReply = nullptr;
    bool m_insecure;
    int m_lastProgress = 0;
    SsuIntegration *m_ssu;

    // A request is being decorated (the event loop may run meanwhile).
    bool m_building = false;
    bool m_cancelRequested = false;
    // Offset the running GET's body belongs at; -1 while no GET runs.
    qint64 m_bodyOffset = -1;
    // The running GET asks for the whole body (no Range).
    bool m_wholeBody = false;
    qint64 m_replyBytes = 0;
    bool m_responseChecked = false;
    bool m_discardBody = false;
    Failure m_failure;
    // Validators of the prepared file, from its size query or a later whole-file answer.
    QByteArray m_etag;
    QByteArray m_lastModified;
};

} // namespace ResetUpdates
} // namespace Corvane
