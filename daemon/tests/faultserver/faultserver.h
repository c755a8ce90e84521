#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

/**
 * The fault-injecting HTTPS server (faultserver.py) on the device's loopback, serving the
 * files of root(). A URL "/m/<faults>/NAME" serves NAME with the faults the script documents
 * (drop=N, ignore-range, no-ranges, no-length, announce=N, short=N, trickle=N, flaky, ...).
 * The destructor stops it.
 */
class FaultServer
{
public:
    FaultServer() = default;
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    [[nodiscard]] bool start();
    QString address() const { return m_address; }
    QString root() const { return m_root.path(); }
    QString url(const QString &name, const QString &faults = QString()) const;

    // Every request the server answered so far, oldest first, as logged by the script
    // ("method", "path", "status", "range", "headers").
    QList<QJsonObject> requests() const;
    void clearLog();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_state;
    QProcess m_process;
    QString m_address;
};
