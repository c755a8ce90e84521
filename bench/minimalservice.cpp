// The yardstick for the daemon's start-up: the least a QtDBus service does, one object with one
// method and one name on the system bus.
//
//   corvane-bench-minimal-service [NAME]   (default org.tessaro.CorvaneBench.Minimal)

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>

class Minimal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tessaro.CorvaneBench.Minimal")
public slots:
    void Ping() { }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString name = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QStringLiteral("org.tessaro.CorvaneBench.Minimal");
    Minimal object;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QStringLiteral("/org/tessaro/CorvaneBench/Minimal"), &object,
            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(name)) {
        std::fprintf(stderr, "cannot register on the system bus\n");
        return 1;
    }
    return app.exec();
}

#include "minimalservice.moc"
