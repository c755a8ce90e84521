#include "enums.h"
#include "service.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>

namespace {
const QDBusConnection SystemBus = QDBusConnection::systemBus();
}

int main(int argc, char **argv)
{
    // Every record carries file, line and function; the environment may still override it.
    qSetMessagePattern(QStringLiteral("[%{type}] %{file}:%{line} %{function}: %{message}"));

    // Qt's own event dispatcher, not GLib's: the daemon uses no GLib sources, and an image
    // download wakes the event loops tens of thousands of times per GiB, where GLib's dispatcher
    // costs about a third more time. Set before the first loop exists.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    const QCommandLineOption insecure(
        QStringLiteral("insecure"), QStringLiteral("Ignore SSL connection errors (debug only)"));
    const QCommandLineOption noShutdown(
        QStringLiteral("no-shutdown"), QStringLiteral("Disable auto shutdown"));
    parser.addOption(insecure);
    parser.addOption(noShutdown);
    parser.process(app);

    Corvane::Service service(parser.isSet(insecure), !parser.isSet(noShutdown));

    QDBusConnection bus = SystemBus;
    Corvane::Enums::registerTypes();

    if (!bus.isConnected()) {
        qCritical() << Q_FUNC_INFO << "Bus is not connected";
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.vidivozeda.osupdate"))) {
        qCritical() << Q_FUNC_INFO << "Old service is running. Stop it before using this service.";
        return 1;
    }
    bus.unregisterService(QStringLiteral("org.vidivozeda.osupdate"));

    if (!bus.registerObject(
            QStringLiteral("/org/tessaro/Corvane"), &service, QDBusConnection::ExportAllContents)) {
        qCritical() << Q_FUNC_INFO << "Could not register D-Bus object";
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.tessaro.Corvane"))) {
        qCritical() << Q_FUNC_INFO << "Could not register D-Bus service";
        return 1;
    }

    return app.exec();
}
