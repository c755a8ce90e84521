#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryFile>

/**
 * The real corvane executable, started as a child process on the sandbox's system bus.
 * Its log (standard output and error) is kept in a file for assertions. The destructor stops it.
 */
class DaemonProcess : public QObject
{
    Q_OBJECT

public:
    explicit DaemonProcess(const QStringList &arguments = {QStringLiteral("--no-shutdown")},
        QObject *parent = nullptr);
    ~DaemonProcess() override;

    // Starts the daemon and waits until it owns its bus name. False when it exited first or
    // did not get there in time.
    [[nodiscard]] bool start(int timeoutMs = 15000);
    // Starts without waiting for the bus name, for runs that are expected to fail.
    void startDetachedFromBus();
    [[nodiscard]] bool waitForExit(int timeoutMs);
    void kill();

    bool isRunning() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    QString log();

private:
    static QString binary();
    void forwardSanitizerReport();

    QProcess m_process;
    QStringList m_arguments;
    // The log goes to a file, never a pipe: a test blocked elsewhere must not stall the daemon
    // on a full pipe.
    QTemporaryFile m_logFile;
};
