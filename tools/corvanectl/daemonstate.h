#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/**
 * The daemon's fifteen properties as read in one go, in the plain form DaemonProxy gives them,
 * with their human-readable and JSON forms.
 */
class DaemonState
{
public:
    // The properties in the order of the interface.
    static const QStringList &propertyNames();

    explicit DaemonState(const QVariantMap &values = {});

    int status() const;
    int method() const;
    QString version() const;
    QList<int> supportedMethods() const;
    qint64 size() const;
    qint64 downloadedSize() const;
    bool isDownloaded() const;
    bool isVendorDataDownloaded() const;
    qint64 lastChecked() const;

    // One "name: value" line per property, the values aligned; all of them when names is empty.
    QString text(const QStringList &names = {}) const;
    // Raw values under the property names, plus statusName, methodName and
    // supportedMethodNames; a property the daemon did not serve is null.
    QJsonObject json() const;

    // How one property's plain value reads for a person: enumeration names, sizes in bytes and
    // MiB, local date-times, -1 as "unknown".
    static QString valueText(const QString &property, const QVariant &value);
    static QString sizeText(qint64 bytes);
    static QString timeText(qint64 msecsSinceEpoch);

private:
    QVariantMap m_values;
};
