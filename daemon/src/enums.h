#pragma once

#include <QDBusArgument>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

namespace Corvane {

// Reflection-only holder of the daemon's vocabulary. Scoped enumerations, because both
// Method and Status have a key named Unknown; the values are plain 32-bit integers.
class Enums
{
    Q_GADGET

public:
    enum class UpdateError : qint32 {
        NoError = 0,
        IOError = 1,
        NetworkError = 2,
        MetadataError = 3,
        PackageError = 4,
        DBusError = 5,
        SsuError = 6,
        NotSupportedError = 7,
        InternalError = 8,
        BusyError = 9,
        AuthenticationError = 10,
        LowDisk = 11,
        LowBattery = 12,
        UnknownError = -1,
    };
    Q_ENUM(UpdateError)

    enum class Method : qint32 {
        Any = 0,
        PackageUpdate = 1,
        ResetUpdate = 2,
        Unknown = -1,
    };
    Q_ENUM(Method)

    enum class Status : qint32 {
        Idle = 0,
        Checking = 1,
        Preparing = 2,
        Downloading = 3,
        Installing = 4,
        Unknown = -1,
    };
    Q_ENUM(Status)

    Enums() = delete;

    // Registers the meta-types under every spelling used in signatures, and their D-Bus
    // marshalling. Call once before the bus is touched.
    static void registerTypes();

    // The enumerator's key, for log lines ("New status: Idle").
    static QString key(UpdateError value);
    static QString key(Method value);
    static QString key(Status value);
};

using MethodList = QList<Enums::Method>;
using MethodVersions = QHash<Enums::Method, QString>;

inline uint qHash(Enums::Method method, uint seed = 0) noexcept
{
    return ::qHash(static_cast<qint32>(method), seed);
}

QDBusArgument &operator<<(QDBusArgument &argument, Enums::Method value);
const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::Method &value);
QDBusArgument &operator<<(QDBusArgument &argument, Enums::Status value);
const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::Status &value);
QDBusArgument &operator<<(QDBusArgument &argument, Enums::UpdateError value);
const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::UpdateError &value);
QDBusArgument &operator<<(QDBusArgument &argument, const MethodList &list);
const QDBusArgument &operator>>(const QDBusArgument &argument, MethodList &list);

} // namespace Corvane
