#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/**
 * The fault-injecting HTTPS server (faultserver.py beside this file) on the device's loopback,
 * for what nginx will not do: it serves the files of root() at "/m/<faults>/NAME" with the
 * faults the script documents. Its request log is the witness of what was asked for.
 */
class FaultServer
{
public:
    FaultServer() = default;
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    [[nodiscard]] bool start();
    QString root() const { return m_root.path(); }
    // faults: comma-separated, or any word without a fault ("plain").
    QString url(const QString &name, const QString &faults) const;
    // While the file calm() exists every URL is served without its faults.
    QString calm() const;

    // One object per request in order: method, path, status, range, headers.
    QList<QJsonObject> requests() const;
    void clearLog();

private:
    QString logPath() const;

    QTemporaryDir m_root;
    QTemporaryDir m_log;
    QProcess m_process;
    QString m_address;
};
