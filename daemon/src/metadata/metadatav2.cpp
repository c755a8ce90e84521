#include "metadatav2.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <algorithm>

namespace Corvane {

namespace {

// A value as the variant conversion of the document would read it as text: strings as they
// are, numbers and booleans in their text form, anything else empty.
QString text(const QJsonValue &value)
{
    return value.isString() ? value.toString() : value.toVariant().toString();
}

ReleaseItem readReleaseItem(const QJsonObject &object)
{
    ReleaseItem item;
    item.version = QVersionNumber::fromString(text(object.value(QStringLiteral("version"))));
    const QJsonArray methods = object.value(QStringLiteral("updateMethods")).toArray();
    for (const QJsonValue &element : methods) {
        const QJsonObject method = element.toObject();
        const QString name = text(method.value(QStringLiteral("method")));
        Enums::Method key;
        if (name == QLatin1String("Package")) {
            key = Enums::Method::PackageUpdate;
        } else if (name == QLatin1String("Reset")) {
            key = Enums::Method::ResetUpdate;
        } else {
            continue;
        }
        item.setMethod(key,
            QVersionNumber::fromString(text(method.value(QStringLiteral("latestStopRelease")))));
    }
    return item;
}

DeviceEntry readDeviceEntry(const QJsonObject &object)
{
    DeviceEntry entry;
    entry.device = text(object.value(QStringLiteral("device")));
    entry.latestRelease =
        QVersionNumber::fromString(text(object.value(QStringLiteral("latestRelease"))));
    const QJsonArray releases = object.value(QStringLiteral("releases")).toArray();
    entry.releases.reserve(releases.size());
    for (const QJsonValue &release : releases) {
        entry.releases.append(readReleaseItem(release.toObject()));
    }
    return entry;
}

} // namespace

void ReleaseItem::setMethod(Enums::Method method, const QVersionNumber &stop)
{
    for (MethodStop &listed : methods) {
        if (listed.method == method) {
            listed.stop = stop;
            return;
        }
    }
    methods.append({method, stop});
}

bool ReleaseItem::isValid() const
{
    // Stop releases are not checked: one that does not parse simply means no stop.
    return !version.isNull() && !methods.isEmpty();
}

bool DeviceEntry::isValid() const
{
    return !device.isEmpty() && !latestRelease.isNull() &&
        std::all_of(releases.cbegin(), releases.cend(), [](const ReleaseItem &release) {
            return release.isValid();
        });
}

MetadataV2::MetadataV2(const QJsonObject &document)
{
    // Read straight from the JSON values, with the variant conversions' meaning: a missing or
    // non-array list is empty, a non-object element an empty map, a leaf its text. Converting
    // the document to variants first would hold a document of megabytes twice.
    const QJsonArray devices = document.value(QStringLiteral("devices")).toArray();
    m_devices.reserve(devices.size());
    for (const QJsonValue &device : devices) {
        m_devices.append(readDeviceEntry(device.toObject()));
    }
}

bool MetadataV2::isValid() const
{
    return std::all_of(m_devices.cbegin(), m_devices.cend(), [](const DeviceEntry &entry) {
        return entry.isValid();
    });
}

MethodVersions MetadataV2::versions(const QString &deviceModel, const QString &currentRelease,
    const QString &requestedVersion) const
{
    MethodVersions result;
    if (deviceModel.isEmpty()) {
        return result;
    }

    const QVersionNumber current = QVersionNumber::fromString(currentRelease);
    if (current.isNull()) {
        return result;
    }

    const auto entry = std::find_if(
        m_devices.cbegin(), m_devices.cend(), [&deviceModel](const DeviceEntry &device) {
            return device.device == deviceModel;
        });
    if (entry == m_devices.cend() || !entry->isValid()) {
        return result;
    }

    // A requested version that does not parse is null, and every listed version lies above it.
    const QVersionNumber target = requestedVersion == QLatin1String("latest")
        ? entry->latestRelease
        : QVersionNumber::fromString(requestedVersion);

    // Kept as numbers until the end; the dotted text is rendered once per method.
    QHash<Enums::Method, QVersionNumber> best;
    for (const ReleaseItem &release : entry->releases) {
        if (release.version <= current || release.version > target) {
            continue;
        }
        for (const MethodStop &method : release.methods) {
            // The device must climb to the stop release before this method may jump past it.
            if (!method.stop.isNull() && current < method.stop) {
                continue;
            }
            auto stored = best.find(method.method);
            if (stored == best.end()) {
                best.insert(method.method, release.version);
            } else if (release.version > stored.value()) {
                stored.value() = release.version;
            }
        }
    }

    for (auto method = best.cbegin(); method != best.cend(); ++method) {
        result.insert(method.key(), method.value().toString());
    }
    return result;
}

} // namespace Corvane
