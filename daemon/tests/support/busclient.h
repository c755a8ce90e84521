#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QVariant>

struct ToolResult
{
    int exitCode = -1;
    QString out;
    QString err;
    // Ended with the exit code, printing what the pattern matches (a failure on standard error).
    [[nodiscard]] bool ends(int exitCode, const QString &pattern = {}) const;
};

// The command run by setpriv as "uid:gid", with the groups of that user.
QStringList asUser(const QString &identity, const QStringList &command);
// The daemon's cache of what the release server offered, as an earlier run left it.
void writeDaemonCache(const QByteArray &json);

// The daemon's own command-line client as built beside the tests, run to its end. When it fails,
// what it wrote to standard error goes to the test's log.
ToolResult corvanectl(const QStringList &arguments, int timeoutMs = 90000);
QString corvanectlPath();

/**
 * Talks to the daemon the way its clients do: through QtDBus on the system bus, or through
 * the command-line clients nobody here wrote (gdbus, busctl, dbus-send).
 */
class BusClient
{
public:
    static const QString Service;
    static const QString Path;
    static const QString Interface;

    // Runs a program to its end (or the timeout) and collects what it printed.
    static ToolResult run(
        const QString &program, const QStringList &arguments, int timeoutMs = 30000);
    // What a process started elsewhere printed, once it ended; a timeout kills it.
    static ToolResult finish(QProcess &process, int timeoutMs = 30000);
    // gdbus calling one of the daemon's methods, with the arguments as gdbus takes them, as the
    // identity "uid:gid" when one is given.
    static ToolResult call(
        const QString &method, const QStringList &arguments = {}, const QString &identity = {});
    // The call got a reply.
    [[nodiscard]] static bool callMethod(const QString &method, const QStringList &arguments = {});

    // The property as the bus serves it, through org.freedesktop.DBus.Properties.Get.
    static QVariant property(const QString &name);
    static QVariantMap allProperties();
    // The status property, unpacked from its one-integer structure; -2 when unreadable.
    static int status();
    static int method();
    static QList<int> supportedMethods();

    // Waits until the status property has the value, following statusChanged signals.
    [[nodiscard]] static bool waitForStatus(int status, int timeoutMs = 15000);
};

/**
 * Records every emission of one of the daemon's signals, with its arguments, as they arrive
 * on the system bus.
 */
class BusSignal : public QObject
{
    Q_OBJECT

public:
    explicit BusSignal(const QString &name, QObject *parent = nullptr);

    QSignalSpy &spy() { return m_spy; }

signals:
    void received(QVariantList arguments);

private slots:
    void onMessage(const QDBusMessage &message);

private:
    QSignalSpy m_spy;
};
