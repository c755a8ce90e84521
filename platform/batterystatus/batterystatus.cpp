#include "batterystatus.h"

#include <QDir>
#include <QFile>

namespace {

QByteArray readValue(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(64).trimmed();
}

} // namespace

BatteryStatus::BatteryStatus(QObject *parent)
    : QObject(parent)
{
}

int BatteryStatus::chargePercentage() const
{
    const QDir supplies(QStringLiteral("/sys/class/power_supply"));
    const QStringList names = supplies.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (readValue(supplies.filePath(name + QStringLiteral("/type"))) != "Battery")
            continue;
        bool ok = false;
        const int capacity =
            readValue(supplies.filePath(name + QStringLiteral("/capacity"))).toInt(&ok);
        if (ok && capacity >= 0 && capacity <= 100)
            return capacity;
    }
    return -1;
}
