#pragma once

#include "exitcode.h"
#include "operationwatcher.h"

#include <QCommandLineOption>
#include <QStringList>
#include <QTextStream>

#include <memory>

class DaemonProxy;
class DaemonState;
class QCommandLineParser;
struct BusFailure;

/**
 * The command-line client: parses the arguments, runs one command against the daemon's bus
 * interface and prints its outcome. What goes wrong is explained on standard error, and the exit
 * code tells scripts what kind of failure it was.
 */
class CorvaneCtl
{
public:
    CorvaneCtl();
    ~CorvaneCtl();

    // arguments as in QCoreApplication::arguments(), the program first.
    ExitCode run(const QStringList &arguments);

private:
    struct Command;
    // One command line, parsed: what the command's function gets.
    struct Invocation
    {
        const Command *command;
        const QCommandLineParser *parser;
        QStringList arguments;
        int timeoutSeconds;
    };
    struct Argument
    {
        QString name;
        QString help;
        QString syntax;
    };
    struct Command
    {
        QString name;
        QString synopsis;
        QString summary;
        QString description;
        // 0: the command does not wait for an operation and has no --timeout.
        int defaultTimeoutSeconds;
        QList<QCommandLineOption> options;
        Argument argument;
        int maxArguments;
        QString argumentsError;
        ExitCode (CorvaneCtl::*run)(const Invocation &);
    };

    static const QList<Command> &commands();
    static const Command *findCommand(const QString &name);
    static void addCommandOptions(const Command &command, QCommandLineParser &parser);
    static QString commandHelp(const Command &command, const QCommandLineParser &parser);

    ExitCode runStatus(const Invocation &call);
    ExitCode runCheck(const Invocation &call);
    ExitCode runSetMethod(const Invocation &call);
    ExitCode runDownload(const Invocation &call);
    ExitCode runDownloadVendorData(const Invocation &call);
    ExitCode runCancel(const Invocation &call);
    ExitCode runInstall(const Invocation &call);
    ExitCode runMonitor(const Invocation &call);
    ExitCode download(bool vendorData, const QString &url, int timeoutSeconds);

    // Runs the operation through the watcher. Success when it came to its end (Done or
    // Unchanged in *outcome); otherwise the problem is already reported. With `after`, the
    // daemon's state is then read into it.
    ExitCode perform(OperationWatcher &watcher, const QString &method,
        const QVariantList &arguments, const QString &what, int timeoutSeconds,
        DaemonState *after = nullptr, OperationWatcher::Outcome *outcome = nullptr);
    // Reports an outcome that is not the operation's end; Success for one that is.
    ExitCode explain(const OperationWatcher &watcher, OperationWatcher::Outcome outcome,
        const QString &what, int timeoutSeconds);
    ExitCode readState(DaemonState *state);
    [[nodiscard]] bool connectToBus(ExitCode *code);
    void startWhenIdle(OperationWatcher &watcher);
    void followStatus(OperationWatcher &watcher);
    ExitCode fail(const BusFailure &failure);
    ExitCode usageError(const QString &command, const QString &message);
    QString globalHelp(const QCommandLineParser &parser) const;

    QTextStream m_out;
    QTextStream m_err;
    // Made only for commands that talk to the daemon: --help must work without a bus.
    std::unique_ptr<DaemonProxy> m_proxy;
};
