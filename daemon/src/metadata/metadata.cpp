#include "metadata.h"

#include <QJsonArray>
#include <QJsonObject>
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

VersionEntry readVersionEntry(const QJsonObject &object)
{
    VersionEntry entry;
    entry.version = QVersionNumber::fromString(text(object.value(QStringLiteral("version"))));
    const QJsonArray from = object.value(QStringLiteral("from")).toArray();
    entry.from.reserve(from.size());
    for (const QJsonValue &release : from) {
        entry.from.append(QVersionNumber::fromString(text(release)));
    }
    return entry;
}

ReleaseEntry readReleaseEntry(const QJsonObject &object)
{
    ReleaseEntry entry;
    entry.deviceModel = text(object.value(QStringLiteral("deviceModel")));
    entry.latest = QVersionNumber::fromString(text(object.value(QStringLiteral("latest"))));
    const QJsonArray versions = object.value(QStringLiteral("versions")).toArray();
    entry.versions.reserve(versions.size());
    for (const QJsonValue &version : versions) {
        entry.versions.append(readVersionEntry(version.toObject()));
    }
    return entry;
}

} // namespace

bool VersionEntry::isValid() const
{
    return !version.isNull() &&
        std::none_of(from.cbegin(), from.cend(), [](const QVersionNumber &release) {
            return release.isNull();
        });
}

bool ReleaseEntry::isValid() const
{
    return !deviceModel.isEmpty() && !latest.isNull() &&
        std::all_of(versions.cbegin(), versions.cend(), [](const VersionEntry &entry) {
            return entry.isValid();
        });
}

Metadata::Metadata(const QJsonObject &document)
{
    // Read straight from the JSON values, with the variant conversions' meaning: a missing or
    // non-array list is empty, a non-object element an empty map, a leaf its text. Converting
    // the document to variants first would hold a document of megabytes twice.
    const QJsonArray releases = document.value(QStringLiteral("releases")).toArray();
    m_releases.reserve(releases.size());
    for (const QJsonValue &release : releases) {
        m_releases.append(readReleaseEntry(release.toObject()));
    }
}

bool Metadata::isValid() const
{
    return std::all_of(m_releases.cbegin(), m_releases.cend(), [](const ReleaseEntry &entry) {
        return entry.isValid();
    });
}

MethodVersions Metadata::versions(const QString &deviceModel, const QString &currentRelease,
    const QString &requestedVersion) const
{
    MethodVersions result;

    const QVersionNumber current = QVersionNumber::fromString(currentRelease);
    if (current.isNull()) {
        return result;
    }

    const auto entry = std::find_if(
        m_releases.cbegin(), m_releases.cend(), [&deviceModel](const ReleaseEntry &release) {
            return release.deviceModel == deviceModel;
        });
    if (entry == m_releases.cend() || !entry->isValid()) {
        return result;
    }

    // A requested version that does not parse is null, and every listed version lies above it.
    const QVersionNumber target = requestedVersion == QLatin1String("latest")
        ? entry->latest
        : QVersionNumber::fromString(requestedVersion);

    // No chaining: only releases installable directly from the current one count.
    const VersionEntry *best = nullptr;
    for (const VersionEntry &candidate : entry->versions) {
        if (candidate.version <= current || candidate.version > target ||
            !candidate.from.contains(current)) {
            continue;
        }
        if (!best || candidate.version > best->version) {
            best = &candidate;
        }
    }

    if (best) {
        result.insert(Enums::Method::PackageUpdate, best->version.toString());
    }
    return result;
}

} // namespace Corvane
