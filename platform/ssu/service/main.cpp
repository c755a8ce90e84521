#include "ssuservice.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char ServiceName[] = "org.nemo.ssu";
const char ObjectPath[] = "/org/nemo/ssu";

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop does the rest.
void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;
}

bool installTerminationHandler()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 &&
        ::sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    if (!installTerminationHandler()) {
        qCritical() << "Cannot install the SIGTERM handler";
        return 1;
    }
    QSocketNotifier terminationNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(
        &terminationNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCritical() << "Cannot connect to the session bus:" << bus.lastError().message();
        return 1;
    }
    // A service whose bus is gone can never be reached again.
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
        QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), &app,
        SLOT(quit()));

    SsuService service;
    if (!bus.registerObject(
            QString::fromLatin1(ObjectPath), &service, QDBusConnection::ExportAllSlots)) {
        qCritical() << "Cannot register" << ObjectPath;
        return 1;
    }
    if (!bus.registerService(QString::fromLatin1(ServiceName))) {
        qCritical() << "Cannot own" << ServiceName << "- is another SSU service running?"
                    << bus.lastError().message();
        return 1;
    }

    const int result = app.exec();
    bus.unregisterService(QString::fromLatin1(ServiceName));
    return result;
}
