#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/**
 * One nginx release server on the device's loopback, with a certificate of the device's test
 * CA or one that nobody vouches for. Its access log is the witness of what was fetched.
 */
class ReleaseServer
{
public:
    ReleaseServer() = default;
    ~ReleaseServer();
    ReleaseServer(const ReleaseServer &) = delete;
    ReleaseServer &operator=(const ReleaseServer &) = delete;

    // Options go to release-server start as they are: --self-signed, --no-ranges,
    // --limit-rate RATE, --log-header NAME.
    [[nodiscard]] bool start(const QStringList &options = {});
    // "127.0.0.1:PORT": what the device's SSU names as its release domain (SsuSettings).
    QString address() const { return m_address; }
    QString root() const { return m_root.path(); }
    QString url(const QString &name) const;

    // Serves the body as the document of the URL "/<path>/"; a null body removes it.
    void serve(const QString &path, const QByteArray &body);
    void clearLog();
    // The access log, one object per request in order: method, uri, status, range, the SSU
    // headers and those named with --log-header. A line is written once the response has
    // been sent: poll.
    QList<QJsonObject> requests() const;
    // The same, each request as "METHOD URI STATUS".
    QStringList requestLines() const;

private:
    static QString script();
    QString logPath() const;

    QTemporaryDir m_root;
    QTemporaryDir m_state;
    QString m_address;
};
