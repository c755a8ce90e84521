#include "corvanectl.h"

#include "daemonproxy.h"
#include "daemonstate.h"
#include "enumnames.h"
#include "monitor.h"
#include "progressdisplay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

const QString ExitStatusHelp = QStringLiteral(
    "Exit status: 0 success; 1 the operation failed (the daemon's error is on standard error); "
    "2 wrong usage; 3 access denied; 4 the system bus or the daemon cannot be reached; 5 timed "
    "out; 130 interrupted.\n");

QCommandLineOption helpOption()
{
    return QCommandLineOption(
        {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
}

QCommandLineOption timeoutOption(int defaultSeconds)
{
    QString description = QStringLiteral(
        "How long to wait for the daemon to be idle and the operation to end, in seconds");
    description += defaultSeconds > 0 ? QStringLiteral(" (default %1).").arg(defaultSeconds)
                                      : QStringLiteral(" (default: each command's own).");
    return QCommandLineOption(QStringLiteral("timeout"), description, QStringLiteral("seconds"));
}

// Wraps at 80 columns, as QCommandLineParser does the options.
QString wrapped(const QString &text)
{
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString result;
    int column = 0;
    for (const QString &word : words) {
        if (column > 0 && column + 1 + word.size() > 80) {
            result += QLatin1Char('\n');
            column = 0;
        } else if (column > 0) {
            result += QLatin1Char(' ');
            ++column;
        }
        result += word;
        column += word.size();
    }
    return result + QLatin1Char('\n');
}

// The options part of QCommandLineParser's help, without its usage line.
QString optionsHelp(const QCommandLineParser &parser)
{
    const QString text = parser.helpText();
    const int options = text.indexOf(QLatin1String("Options:"));
    return options < 0 ? QString() : text.mid(options);
}

bool parseSeconds(const QString &text, int *seconds)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    // The wait is a QTimer in milliseconds.
    if (!ok || value <= 0 || value > INT_MAX / 1000)
        return false;
    *seconds = value;
    return true;
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

} // namespace

// Each command once: its name, help, options, arguments and the function that runs it.
const QList<CorvaneCtl::Command> &CorvaneCtl::commands()
{
    const auto option = [](const char *name, const char *description,
                            const char *valueName = nullptr) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(description),
            QString::fromLatin1(valueName));
    };
    static const QList<Command> list {
        {QStringLiteral("status"), QStringLiteral("[--json]"),
            QStringLiteral("Show the daemon's status and update information."),
            QStringLiteral(
                "Shows all fifteen properties of the update daemon: enumerations by name, sizes in "
                "bytes and MiB, the last check as a local date-time, -1 as \"unknown\". With "
                "--json, prints one JSON object with the raw values and the enumeration names."),
            0, {option("json", "Print one JSON object (raw values plus names) for scripts.")}, {},
            0, QStringLiteral("status takes no arguments"), &CorvaneCtl::runStatus},
        {QStringLiteral("check"), QStringLiteral("[--force] [VERSION]"),
            QStringLiteral("Ask the release server for an update and prepare it."),
            QStringLiteral(
                "Asks the daemon to look for VERSION (default \"latest\", the newest release) on "
                "the release server, then waits until it has prepared the update and prints the "
                "version found, the method and the sizes. A daemon that already knows an update "
                "keeps it and asks nobody: corvanectl then prints what it knows. --force makes it "
                "ask the release server again."),
            300, {option("force", "Ask the release server even when the daemon knows an update.")},
            {QStringLiteral("VERSION"),
                QStringLiteral("The release to look for (default \"latest\", the newest)."),
                QStringLiteral("[VERSION]")},
            1, QStringLiteral("check takes at most one VERSION"), &CorvaneCtl::runCheck},
        {QStringLiteral("set-method"), QStringLiteral("package|reset|any"),
            QStringLiteral("Choose the update method and prepare it."),
            QStringLiteral(
                "Selects the update method (a package update, a reset update with a full image, "
                "or any: the first one the release offers) and waits until the daemon has "
                "prepared it."),
            300, {},
            {QStringLiteral("METHOD"),
                QStringLiteral("package (package update), reset (image update) or any (the first "
                               "one offered)."),
                QString()},
            1, QStringLiteral("set-method needs package, reset or any"), &CorvaneCtl::runSetMethod},
        {QStringLiteral("download"), QString(), QStringLiteral("Download the update."),
            QStringLiteral(
                "Downloads the prepared update and waits for the end, showing the progress: a bar "
                "on a terminal, a line every tenth percent otherwise. Succeeds when the update is "
                "downloaded. Ctrl-C stops waiting, not the download: 'corvanectl cancel' stops "
                "it."),
            3600, {}, {}, 0, QStringLiteral("download takes no arguments"),
            &CorvaneCtl::runDownload},
        {QStringLiteral("download-vendor-data"), QStringLiteral("URL"),
            QStringLiteral("Download the vendor-data archive from URL."),
            QStringLiteral("Downloads the vendor-data archive at URL for the current update method "
                           "and waits until it is downloaded."),
            3600, {},
            {QStringLiteral("URL"), QStringLiteral("Where the vendor-data archive is."), QString()},
            1, QStringLiteral("download-vendor-data needs one URL"),
            &CorvaneCtl::runDownloadVendorData},
        {QStringLiteral("cancel"), QString(), QStringLiteral("Cancel the running download."),
            QStringLiteral("Cancels the running download and waits until it has stopped. With no "
                           "download running there is nothing to do, and that is no error."),
            300, {}, {}, 0, QStringLiteral("cancel takes no arguments"), &CorvaneCtl::runCancel},
        {QStringLiteral("install"), QStringLiteral("[--reboot]"),
            QStringLiteral("Install the downloaded update."),
            QStringLiteral(
                "Installs the downloaded update and waits for the end. With --reboot the device "
                "restarts when the installation is done; without it the update takes effect at "
                "the next restart."),
            3600, {option("reboot", "Restart the device when the installation is done.")}, {}, 0,
            QStringLiteral("install takes no arguments"), &CorvaneCtl::runInstall},
        {QStringLiteral("monitor"), QStringLiteral("[--count N]"),
            QStringLiteral("Print the daemon's signals as they come."),
            QStringLiteral(
                "Prints every signal of the update daemon with a timestamp; for the change "
                "signals, the property's new value. Runs until Ctrl-C or SIGTERM, or until N "
                "signals with --count N."),
            0, {option("count", "Exit after N signals of the daemon.", "N")}, {}, 0,
            QStringLiteral("monitor takes no arguments"), &CorvaneCtl::runMonitor},
    };
    return list;
}

const CorvaneCtl::Command *CorvaneCtl::findCommand(const QString &name)
{
    for (const Command &command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

void CorvaneCtl::addCommandOptions(const Command &command, QCommandLineParser &parser)
{
    parser.addOption(helpOption());
    if (command.defaultTimeoutSeconds > 0)
        parser.addOption(timeoutOption(command.defaultTimeoutSeconds));
    for (const QCommandLineOption &option : command.options)
        parser.addOption(option);
    if (!command.argument.name.isEmpty()) {
        parser.addPositionalArgument(
            command.argument.name, command.argument.help, command.argument.syntax);
    }
}

// The help of one command: its usage, what it does, its options and the exit codes.
QString CorvaneCtl::commandHelp(const Command &command, const QCommandLineParser &parser)
{
    QString usage = QStringLiteral("Usage: corvanectl ") + command.name;
    if (command.defaultTimeoutSeconds > 0)
        usage += QStringLiteral(" [--timeout SECONDS]");
    if (!command.synopsis.isEmpty())
        usage += QLatin1Char(' ') + command.synopsis;
    return usage + QStringLiteral("\n\n") + wrapped(command.description) + QLatin1Char('\n') +
        optionsHelp(parser) + QLatin1Char('\n') + wrapped(ExitStatusHelp);
}

CorvaneCtl::CorvaneCtl()
    : m_out(stdout)
    , m_err(stderr)
{
}

CorvaneCtl::~CorvaneCtl() = default;

ExitCode CorvaneCtl::run(const QStringList &arguments)
{
    QCommandLineParser global;
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    global.addOption(helpOption());
    global.addOption(
        QCommandLineOption(QStringLiteral("version"), QStringLiteral("Show the version.")));
    global.addOption(timeoutOption(0));
    global.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("What to do; see above."));
    if (!global.parse(arguments))
        return usageError(QString(), global.errorText());
    if (global.isSet(QStringLiteral("help"))) {
        m_out << globalHelp(global);
        return ExitCode::Success;
    }
    if (global.isSet(QStringLiteral("version"))) {
        m_out << "corvanectl " << QCoreApplication::applicationVersion() << '\n';
        return ExitCode::Success;
    }
    int timeoutSeconds = 0;
    if (global.isSet(QStringLiteral("timeout")) &&
        !parseSeconds(global.value(QStringLiteral("timeout")), &timeoutSeconds)) {
        return usageError(QString(), QStringLiteral("--timeout needs a number of seconds"));
    }
    const QStringList rest = global.positionalArguments();
    if (rest.isEmpty()) {
        m_err << globalHelp(global);
        return ExitCode::UsageError;
    }

    const Command *command = findCommand(rest.constFirst());
    if (!command)
        return usageError(QString(), QStringLiteral("unknown command '%1'").arg(rest.constFirst()));

    QCommandLineParser parser;
    addCommandOptions(*command, parser);
    if (!parser.parse(QStringList {arguments.value(0)} + rest.mid(1)))
        return usageError(command->name, parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        m_out << commandHelp(*command, parser);
        return ExitCode::Success;
    }
    if (command->defaultTimeoutSeconds > 0) {
        if (parser.isSet(QStringLiteral("timeout"))) {
            if (!parseSeconds(parser.value(QStringLiteral("timeout")), &timeoutSeconds)) {
                return usageError(
                    command->name, QStringLiteral("--timeout needs a number of seconds"));
            }
        } else if (timeoutSeconds == 0) {
            timeoutSeconds = command->defaultTimeoutSeconds;
        }
    }
    if (parser.positionalArguments().size() > command->maxArguments)
        return usageError(command->name, command->argumentsError);
    return (this->*command->run)({command, &parser, parser.positionalArguments(), timeoutSeconds});
}

ExitCode CorvaneCtl::runStatus(const Invocation &call)
{
    const bool json = call.parser->isSet(QStringLiteral("json"));
    DaemonState state;
    const ExitCode code = readState(&state);
    if (code != ExitCode::Success)
        return code;
    if (json)
        m_out << QJsonDocument(state.json()).toJson(QJsonDocument::Compact) << '\n';
    else
        m_out << state.text();
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runCheck(const Invocation &call)
{
    const QString version = call.arguments.value(0, QStringLiteral("latest"));
    const bool force = call.parser->isSet(QStringLiteral("force"));
    const int timeoutSeconds = call.timeoutSeconds;
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    OperationWatcher watcher(*m_proxy);
    startWhenIdle(watcher);
    // A daemon that keeps what it knows answers without any signal; a real check changes the
    // status before it replies, so a second is plenty.
    watcher.setUnchangedAfter(1000);
    followStatus(watcher);
    OperationWatcher::Outcome outcome = OperationWatcher::Outcome::Done;
    DaemonState state;
    code = perform(watcher, QStringLiteral("Check"), {version, force}, QStringLiteral("the check"),
        timeoutSeconds, &state, &outcome);
    if (code != ExitCode::Success)
        return code;
    if (outcome == OperationWatcher::Outcome::Unchanged) {
        m_out << "The daemon kept its update information of "
              << DaemonState::timeText(state.lastChecked())
              << " and did not ask the release server (--force makes it ask).\n";
    }
    if (state.supportedMethods().isEmpty()) {
        m_out << "No update is available for this device.\n";
        return ExitCode::Success;
    }
    m_out << state.text(
        {QStringLiteral("version"), QStringLiteral("method"), QStringLiteral("supportedMethods"),
            QStringLiteral("size"), QStringLiteral("downloadedSize"),
            QStringLiteral("isDownloaded"), QStringLiteral("lastChecked")});
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runSetMethod(const Invocation &call)
{
    int method = EnumNames::UnknownMethod;
    if (call.arguments.size() != 1 ||
        !EnumNames::methodFromText(call.arguments.constFirst(), &method))
        return usageError(call.command->name, call.command->argumentsError);
    const int timeoutSeconds = call.timeoutSeconds;
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    OperationWatcher watcher(*m_proxy);
    startWhenIdle(watcher);
    followStatus(watcher);
    DaemonState state;
    code = perform(watcher, QStringLiteral("SetMethod"), {DaemonProxy::enumArgument(method)},
        QStringLiteral("the preparation of the method"), timeoutSeconds, &state);
    if (code != ExitCode::Success)
        return code;
    m_out << state.text({QStringLiteral("method"), QStringLiteral("version"),
        QStringLiteral("size"), QStringLiteral("downloadedSize"), QStringLiteral("isDownloaded")});
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runDownload(const Invocation &call)
{
    return download(false, QString(), call.timeoutSeconds);
}

ExitCode CorvaneCtl::runDownloadVendorData(const Invocation &call)
{
    if (call.arguments.size() != 1 || call.arguments.constFirst().isEmpty())
        return usageError(call.command->name, call.command->argumentsError);
    return download(true, call.arguments.constFirst(), call.timeoutSeconds);
}

ExitCode CorvaneCtl::download(bool vendorData, const QString &url, int timeoutSeconds)
{
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    OperationWatcher watcher(*m_proxy);
    startWhenIdle(watcher);
    ProgressDisplay display(m_out, isTerminal(STDOUT_FILENO));
    // The byte counts are read only when they are shown, not on every change.
    bool bytesStale = true;
    QObject::connect(&watcher, &OperationWatcher::downloadedSizeChanged, [&bytesStale] {
        bytesStale = true;
    });
    QObject::connect(&watcher, &OperationWatcher::progress, [&](int percent) {
        if (bytesStale) {
            QVariant downloaded;
            QVariant total;
            if (!m_proxy->read(QStringLiteral("downloadedSize"), &downloaded, false).failed() &&
                !m_proxy->read(QStringLiteral("size"), &total, false).failed()) {
                display.setBytes(downloaded.toLongLong(), total.toLongLong());
                bytesStale = false;
            }
        }
        display.setPercent(percent);
    });
    DaemonState state;
    if (vendorData) {
        code = perform(watcher, QStringLiteral("DownloadVendorData"), {url},
            QStringLiteral("the vendor-data download"), timeoutSeconds, &state);
    } else {
        code = perform(watcher, QStringLiteral("Download"), {}, QStringLiteral("the download"),
            timeoutSeconds, &state);
    }
    display.finish();
    if (code != ExitCode::Success)
        return code;
    if (vendorData) {
        if (!state.isVendorDataDownloaded()) {
            m_err << "corvanectl: the vendor-data download ended without the archive being "
                     "downloaded; was it cancelled?\n";
            return ExitCode::OperationFailed;
        }
        m_out << "Vendor data downloaded from " << url << ".\n";
        return ExitCode::Success;
    }
    if (!state.isDownloaded()) {
        m_err << "corvanectl: the download ended without the update being downloaded; was it "
                 "cancelled?\n";
        return ExitCode::OperationFailed;
    }
    m_out << "Update " << state.version()
          << " downloaded: " << DaemonState::sizeText(state.downloadedSize()) << ".\n";
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runCancel(const Invocation &call)
{
    const int timeoutSeconds = call.timeoutSeconds;
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    OperationWatcher watcher(*m_proxy);
    const BusFailure subscribed = watcher.subscribe();
    if (subscribed.failed())
        return fail(subscribed);
    // Read only after subscribing: a download that ends in between is then still noticed.
    QVariant status;
    const BusFailure read = m_proxy->read(QStringLiteral("status"), &status);
    if (read.failed())
        return fail(read);
    if (status.toInt() != EnumNames::Downloading) {
        m_out << "No download is running (the status is " << EnumNames::status(status.toInt())
              << "); there is nothing to cancel.\n";
        return ExitCode::Success;
    }
    watcher.setDoneWhen([](int status) {
        return status != EnumNames::Downloading;
    });
    // The download may end between the read above and the call; the daemon then ignores it.
    watcher.setCheckAfterReply(true);
    followStatus(watcher);
    DaemonState state;
    code = perform(watcher, QStringLiteral("CancelDownload"), {},
        QStringLiteral("the cancellation"), timeoutSeconds, &state);
    if (code != ExitCode::Success)
        return code;
    if (state.isDownloaded())
        m_out << "The download had finished before it could be cancelled.\n";
    else
        m_out << "Download cancelled.\n";
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runInstall(const Invocation &call)
{
    const bool reboot = call.parser->isSet(QStringLiteral("reboot"));
    const int timeoutSeconds = call.timeoutSeconds;
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    OperationWatcher watcher(*m_proxy);
    startWhenIdle(watcher);
    followStatus(watcher);
    code = perform(watcher, QStringLiteral("Install"), {reboot}, QStringLiteral("the installation"),
        timeoutSeconds);
    if (code != ExitCode::Success)
        return code;
    if (reboot)
        m_out << "Update installed; the device restarts now.\n";
    else
        m_out << "Update installed; it takes effect when the device restarts.\n";
    return ExitCode::Success;
}

ExitCode CorvaneCtl::runMonitor(const Invocation &call)
{
    int count = 0;
    if (call.parser->isSet(QStringLiteral("count"))) {
        bool ok = false;
        count = call.parser->value(QStringLiteral("count")).toInt(&ok);
        if (!ok || count <= 0)
            return usageError(
                call.command->name, QStringLiteral("--count needs a positive number"));
    }
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    Monitor monitor(*m_proxy, m_out, m_err, count);
    const BusFailure failure = monitor.subscribe();
    if (failure.failed())
        return fail(failure);
    monitor.run();
    return ExitCode::Success;
}

ExitCode CorvaneCtl::perform(OperationWatcher &watcher, const QString &method,
    const QVariantList &arguments, const QString &what, int timeoutSeconds, DaemonState *after,
    OperationWatcher::Outcome *outcome)
{
    const OperationWatcher::Outcome result = watcher.run(method, arguments, timeoutSeconds * 1000);
    if (outcome)
        *outcome = result;
    const ExitCode code = explain(watcher, result, what, timeoutSeconds);
    if (code != ExitCode::Success || !after)
        return code;
    return readState(after);
}

ExitCode CorvaneCtl::explain(const OperationWatcher &watcher, OperationWatcher::Outcome outcome,
    const QString &what, int timeoutSeconds)
{
    switch (outcome) {
    case OperationWatcher::Outcome::Done:
    case OperationWatcher::Outcome::Unchanged:
        return ExitCode::Success;
    case OperationWatcher::Outcome::Failed:
        m_err << "error: "
              << QStringLiteral("%1: %2").arg(
                     EnumNames::updateError(watcher.errorCode()), watcher.errorDetails())
              << '\n';
        return ExitCode::OperationFailed;
    case OperationWatcher::Outcome::TimedOut: {
        if (!watcher.started()) {
            m_err << QStringLiteral("corvanectl: gave up after %1 s waiting for the daemon to be "
                                    "idle (its status is %2); %3 was not started.\n")
                         .arg(QString::number(timeoutSeconds), EnumNames::status(watcher.status()),
                             what)
                  << "hint: --timeout SECONDS waits longer; 'corvanectl status' shows what the "
                     "daemon is doing.\n";
            return ExitCode::TimedOut;
        }
        QVariant status;
        const QString now = m_proxy->read(QStringLiteral("status"), &status).failed()
            ? QStringLiteral("cannot be read")
            : QStringLiteral("is ") + EnumNames::status(status.toInt());
        m_err << QStringLiteral("corvanectl: gave up waiting for %1 after %2 s; the daemon's "
                                "status %3, so it may still be at work.\n")
                     .arg(what, QString::number(timeoutSeconds), now)
              << "hint: --timeout SECONDS waits longer; 'corvanectl monitor' follows the "
                 "daemon.\n";
        return ExitCode::TimedOut;
    }
    case OperationWatcher::Outcome::BusFailed:
        return fail(watcher.failure());
    case OperationWatcher::Outcome::Interrupted:
        if (!watcher.started()) {
            m_err << "\ncorvanectl: stopped waiting; " << what << " was not started.\n";
            return ExitCode::Interrupted;
        }
        m_err << "\ncorvanectl: stopped waiting; the daemon goes on with " << what << ".\n";
        return ExitCode::Interrupted;
    }
    return ExitCode::OperationFailed;
}

ExitCode CorvaneCtl::readState(DaemonState *state)
{
    ExitCode code = ExitCode::Success;
    if (!connectToBus(&code))
        return code;
    QVariantMap values;
    const BusFailure failure = m_proxy->readAll(&values);
    if (failure.failed())
        return fail(failure);
    *state = DaemonState(values);
    return ExitCode::Success;
}

bool CorvaneCtl::connectToBus(ExitCode *code)
{
    if (!m_proxy)
        m_proxy = std::make_unique<DaemonProxy>();
    const BusFailure failure = m_proxy->connectToBus();
    if (failure.failed()) {
        *code = fail(failure);
        return false;
    }
    return true;
}

void CorvaneCtl::startWhenIdle(OperationWatcher &watcher)
{
    watcher.setWaitForIdle(true);
    if (!isTerminal(STDERR_FILENO))
        return;
    QObject::connect(&watcher, &OperationWatcher::waiting, [this](int status) {
        m_err << "corvanectl: the daemon is busy (" << EnumNames::status(status)
              << "); waiting until it is idle.\n";
        m_err.flush();
    });
}

void CorvaneCtl::followStatus(OperationWatcher &watcher)
{
    // Someone at a terminal likes to see that a long operation moves; a script does not.
    if (!isTerminal(STDERR_FILENO))
        return;
    QObject::connect(&watcher, &OperationWatcher::statusSeen, [this](int status) {
        m_err << "status: " << EnumNames::status(status) << '\n';
        m_err.flush();
    });
}

ExitCode CorvaneCtl::fail(const BusFailure &failure)
{
    m_err << failure.message << '\n';
    return failure.code;
}

ExitCode CorvaneCtl::usageError(const QString &command, const QString &message)
{
    const QString prefix =
        command.isEmpty() ? QStringLiteral("corvanectl") : QStringLiteral("corvanectl ") + command;
    m_err << prefix << ": " << message << "\nTry '" << prefix << " --help'.\n";
    return ExitCode::UsageError;
}

QString CorvaneCtl::globalHelp(const QCommandLineParser &parser) const
{
    QString text = QStringLiteral("Usage: corvanectl [--timeout SECONDS] COMMAND [OPTIONS] "
                                  "[ARGUMENTS]\n\n");
    text += wrapped(QStringLiteral(
        "Drives the OS update daemon (%1 on the system bus) through its public interface and "
        "shows what it knows. Commands that start an operation wait until the daemon is idle, then "
        "for the operation's end, both within the timeout.")
                        .arg(DaemonProxy::Service));
    text += QStringLiteral("\nCommands:\n");
    int width = 0;
    for (const Command &command : commands())
        width = qMax(width, command.name.size() + 1 + command.synopsis.size());
    for (const Command &command : commands()) {
        const QString head = QString(command.name + QLatin1Char(' ') + command.synopsis).trimmed();
        text += QStringLiteral("  ") + head.leftJustified(width + 2) + command.summary +
            QLatin1Char('\n');
    }
    text += QLatin1Char('\n') + optionsHelp(parser) + QLatin1Char('\n');
    text += wrapped(QStringLiteral("'corvanectl COMMAND --help' describes a command and its "
                                   "options."));
    text += QLatin1Char('\n') + wrapped(ExitStatusHelp);
    return text;
}
