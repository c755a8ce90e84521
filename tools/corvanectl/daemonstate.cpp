#include "daemonstate.h"

#include "enumnames.h"

#include <QDateTime>
#include <QJsonArray>

namespace {

constexpr double BytesPerMiB = 1024.0 * 1024.0;

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

const QStringList &DaemonState::propertyNames()
{
    static const QStringList names {
        QStringLiteral("status"),
        QStringLiteral("method"),
        QStringLiteral("version"),
        QStringLiteral("supportedMethods"),
        QStringLiteral("codeName"),
        QStringLiteral("cover"),
        QStringLiteral("summary"),
        QStringLiteral("website"),
        QStringLiteral("packagesToRemove"),
        QStringLiteral("size"),
        QStringLiteral("downloadedSize"),
        QStringLiteral("isDownloaded"),
        QStringLiteral("vendorDataUrl"),
        QStringLiteral("isVendorDataDownloaded"),
        QStringLiteral("lastChecked"),
    };
    return names;
}

DaemonState::DaemonState(const QVariantMap &values)
    : m_values(values)
{
}

int DaemonState::status() const
{
    return m_values.value(QStringLiteral("status"), EnumNames::UnknownStatus).toInt();
}

int DaemonState::method() const
{
    return m_values.value(QStringLiteral("method"), EnumNames::UnknownMethod).toInt();
}

QString DaemonState::version() const
{
    return m_values.value(QStringLiteral("version")).toString();
}

QList<int> DaemonState::supportedMethods() const
{
    QList<int> methods;
    const QVariantList values = m_values.value(QStringLiteral("supportedMethods")).toList();
    for (const QVariant &value : values)
        methods.append(value.toInt());
    return methods;
}

qint64 DaemonState::size() const
{
    return m_values.value(QStringLiteral("size"), -1).toLongLong();
}

qint64 DaemonState::downloadedSize() const
{
    return m_values.value(QStringLiteral("downloadedSize"), -1).toLongLong();
}

bool DaemonState::isDownloaded() const
{
    return m_values.value(QStringLiteral("isDownloaded")).toBool();
}

bool DaemonState::isVendorDataDownloaded() const
{
    return m_values.value(QStringLiteral("isVendorDataDownloaded")).toBool();
}

qint64 DaemonState::lastChecked() const
{
    return m_values.value(QStringLiteral("lastChecked"), -1).toLongLong();
}

QString DaemonState::text(const QStringList &names) const
{
    const QStringList &shown = names.isEmpty() ? propertyNames() : names;
    int width = 0;
    for (const QString &name : shown)
        width = qMax(width, name.size() + 1);
    QString result;
    for (const QString &name : shown) {
        const QString value = m_values.contains(name)
            ? valueText(name, m_values.value(name))
            : QStringLiteral("(not served by the daemon)");
        result +=
            QString(name + QLatin1Char(':')).leftJustified(width + 1) + value + QLatin1Char('\n');
    }
    return result;
}

QJsonObject DaemonState::json() const
{
    QJsonObject object;
    for (const QString &name : propertyNames()) {
        if (!m_values.contains(name)) {
            object.insert(name, QJsonValue::Null);
            continue;
        }
        const QVariant value = m_values.value(name);
        if (name == QLatin1String("supportedMethods")) {
            QJsonArray methods;
            QJsonArray methodNames;
            for (int method : supportedMethods()) {
                methods.append(method);
                methodNames.append(EnumNames::method(method));
            }
            object.insert(name, methods);
            object.insert(QStringLiteral("supportedMethodNames"), methodNames);
        } else if (name == QLatin1String("packagesToRemove")) {
            object.insert(name, QJsonArray::fromStringList(value.toStringList()));
        } else {
            object.insert(name, QJsonValue::fromVariant(value));
        }
    }
    if (m_values.contains(QStringLiteral("status")))
        object.insert(QStringLiteral("statusName"), EnumNames::status(status()));
    if (m_values.contains(QStringLiteral("method")))
        object.insert(QStringLiteral("methodName"), EnumNames::method(method()));
    return object;
}

QString DaemonState::valueText(const QString &property, const QVariant &value)
{
    if (property == QLatin1String("status"))
        return EnumNames::status(value.toInt());
    if (property == QLatin1String("method"))
        return EnumNames::method(value.toInt());
    if (property == QLatin1String("supportedMethods")) {
        QStringList names;
        const QVariantList methods = value.toList();
        for (const QVariant &method : methods)
            names.append(EnumNames::method(method.toInt()));
        return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
    }
    if (property == QLatin1String("packagesToRemove")) {
        const QStringList packages = value.toStringList();
        return packages.isEmpty() ? QStringLiteral("none") : packages.join(QStringLiteral(", "));
    }
    if (property == QLatin1String("size") || property == QLatin1String("downloadedSize"))
        return sizeText(value.toLongLong());
    if (property == QLatin1String("lastChecked"))
        return timeText(value.toLongLong());
    if (value.userType() == QMetaType::Bool)
        return yesNo(value.toBool());
    const QString text = value.toString();
    return text.isEmpty() ? QStringLiteral("\"\"") : text;
}

QString DaemonState::sizeText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("unknown");
    return QStringLiteral("%1 bytes (%2 MiB)").arg(bytes).arg(bytes / BytesPerMiB, 0, 'f', 2);
}

QString DaemonState::timeText(qint64 msecsSinceEpoch)
{
    if (msecsSinceEpoch < 0)
        return QStringLiteral("unknown");
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch)
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t"));
}
