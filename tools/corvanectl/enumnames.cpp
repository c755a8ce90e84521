#include "enumnames.h"

#include <QHash>

namespace EnumNames {

namespace {

QString lookup(const QHash<int, QString> &table, int value)
{
    const auto it = table.constFind(value);
    if (it != table.constEnd())
        return *it;
    return QStringLiteral("unrecognised value %1").arg(value);
}

} // namespace

QString status(int value)
{
    static const QHash<int, QString> names {
        {Idle, QStringLiteral("Idle")},
        {Checking, QStringLiteral("Checking")},
        {Preparing, QStringLiteral("Preparing")},
        {Downloading, QStringLiteral("Downloading")},
        {Installing, QStringLiteral("Installing")},
        {UnknownStatus, QStringLiteral("Unknown")},
    };
    return lookup(names, value);
}

QString method(int value)
{
    static const QHash<int, QString> names {
        {AnyMethod, QStringLiteral("Any")},
        {PackageUpdate, QStringLiteral("PackageUpdate")},
        {ResetUpdate, QStringLiteral("ResetUpdate")},
        {UnknownMethod, QStringLiteral("Unknown")},
    };
    return lookup(names, value);
}

QString updateError(int value)
{
    static const QHash<int, QString> names {
        {0, QStringLiteral("NoError")},
        {1, QStringLiteral("IOError")},
        {2, QStringLiteral("NetworkError")},
        {3, QStringLiteral("MetadataError")},
        {4, QStringLiteral("PackageError")},
        {5, QStringLiteral("DBusError")},
        {6, QStringLiteral("SsuError")},
        {7, QStringLiteral("NotSupportedError")},
        {8, QStringLiteral("InternalError")},
        {9, QStringLiteral("BusyError")},
        {10, QStringLiteral("AuthenticationError")},
        {11, QStringLiteral("LowDisk")},
        {12, QStringLiteral("LowBattery")},
        {-1, QStringLiteral("UnknownError")},
    };
    return lookup(names, value);
}

bool methodFromText(const QString &text, int *value)
{
    static const QHash<QString, int> methods {
        {QStringLiteral("any"), AnyMethod},
        {QStringLiteral("package"), PackageUpdate},
        {QStringLiteral("packageupdate"), PackageUpdate},
        {QStringLiteral("reset"), ResetUpdate},
        {QStringLiteral("resetupdate"), ResetUpdate},
    };
    const auto it = methods.constFind(text.toLower());
    if (it == methods.constEnd())
        return false;
    *value = *it;
    return true;
}

} // namespace EnumNames
