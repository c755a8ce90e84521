#pragma once

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

    [[nodiscard]] bool start(bool selfSigned = false, const QStringList &extraArguments = {});
    // "127.0.0.1:PORT": what the device's SSU names as its release domain.
    QString address() const { return m_address; }
    QString root() const { return m_root.path(); }

    // Serves the body as the document of the URL "/<path>/"; a null body removes it.
    void serve(const QString &path, const QByteArray &body);
    void clearLog();
    // Requests the server answered, as "METHOD URI STATUS", in order.
    QStringList requests() const;

    // Points the device's SSU at this server, with the device's model and release, following
    // the repositories adaptation0 and tessaro.
    void configureDevice(const QString &model = QStringLiteral("x1"),
        const QString &release = QStringLiteral("4.0.0")) const;
    static void configureDevice(
        const QString &releaseDomain, const QString &model, const QString &release);

private:
    static QString script();
    QString logPath() const;

    QTemporaryDir m_root;
    QTemporaryDir m_state;
    QString m_address;
};
