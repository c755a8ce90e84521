#include "enums.h"

#include <QDBusMetaType>
#include <QMetaEnum>

namespace Corvane {

namespace {

template<typename E>
QString enumKey(E value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(static_cast<int>(value));
    return key ? QString::fromLatin1(key) : QString::number(static_cast<int>(value));
}

template<typename E>
void registerEnum(const char *shortName, const char *scopedName, const char *qualifiedName)
{
    qRegisterMetaType<E>(shortName);
    qRegisterMetaType<E>(scopedName);
    qRegisterMetaType<E>(qualifiedName);
}

template<typename E>
QDBusArgument &writeEnum(QDBusArgument &argument, E value)
{
    argument.beginStructure();
    argument << static_cast<qint32>(value);
    argument.endStructure();
    return argument;
}

template<typename E>
const QDBusArgument &readEnum(const QDBusArgument &argument, E &value)
{
    qint32 raw = 0;
    argument.beginStructure();
    argument >> raw;
    argument.endStructure();
    // Any int32 is accepted: the receiving operation decides what an unknown value means.
    value = static_cast<E>(raw);
    return argument;
}

} // namespace

void Enums::registerTypes()
{
    registerEnum<Method>("Method", "Enums::Method", "Corvane::Enums::Method");
    registerEnum<Status>("Status", "Enums::Status", "Corvane::Enums::Status");
    registerEnum<UpdateError>("UpdateError", "Enums::UpdateError", "Corvane::Enums::UpdateError");
    qRegisterMetaType<MethodList>("MethodList");
    qRegisterMetaType<MethodList>("Corvane::MethodList");
    qRegisterMetaType<MethodVersions>("QHash<Enums::Method,QString>");

    qDBusRegisterMetaType<Method>();
    qDBusRegisterMetaType<Status>();
    qDBusRegisterMetaType<UpdateError>();
    qDBusRegisterMetaType<MethodList>();
}

QString Enums::key(UpdateError value)
{
    return enumKey(value);
}

QString Enums::key(Method value)
{
    return enumKey(value);
}

QString Enums::key(Status value)
{
    return enumKey(value);
}

QDBusArgument &operator<<(QDBusArgument &argument, Enums::Method value)
{
    return writeEnum(argument, value);
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::Method &value)
{
    return readEnum(argument, value);
}

QDBusArgument &operator<<(QDBusArgument &argument, Enums::Status value)
{
    return writeEnum(argument, value);
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::Status &value)
{
    return readEnum(argument, value);
}

QDBusArgument &operator<<(QDBusArgument &argument, Enums::UpdateError value)
{
    return writeEnum(argument, value);
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Enums::UpdateError &value)
{
    return readEnum(argument, value);
}

QDBusArgument &operator<<(QDBusArgument &argument, const MethodList &list)
{
    argument.beginArray(qMetaTypeId<Enums::Method>());
    for (Enums::Method method : list)
        argument << method;
    argument.endArray();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MethodList &list)
{
    list.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        Enums::Method method = Enums::Method::Unknown;
        argument >> method;
        list.append(method);
    }
    argument.endArray();
    return argument;
}

} // namespace Corvane
