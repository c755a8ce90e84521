#include "metadata.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <algorithm>

namespace Corvane {

namespace {

VersionEntry readVersionEntry(const QVariantMap &map)
{
    VersionEntry entry;
    entry.version = QVersionNumber::fromString(map.value(QStringLiteral("version")).toString());
    const QVariantList from = map.value(QStringLiteral("from")).toList();
    entry.from.reserve(from.size());
    for (const QVariant &release : from) {
        entry.from.append(QVersionNumber::fromString(release.toString()));
    }
    return entry;
}

ReleaseEntry readReleaseEntry(const QVariantMap &map)
{
    ReleaseEntry entry;
    entry.deviceModel = map.value(QStringLiteral("deviceModel")).toString();
    entry.latest = QVersionNumber::fromString(map.value(QStringLiteral("latest")).toString());
    const QVariantList versions = map.value(QStringLiteral("versions")).toList();
    entry.versions.reserve(versions.size());
    for (const QVariant &version : versions) {
        entry.versions.append(readVersionEntry(version.toMap()));
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
    // Each top-level entry is converted to variants on its own, so that a document of
    // megabytes is never held twice in full. Values read the same as from a conversion of the
    // whole document: a missing or non-array list is empty, a non-object element an empty map.
    const QJsonArray releases = document.value(QStringLiteral("releases")).toArray();
    m_releases.reserve(releases.size());
    for (const QJsonValue &release : releases) {
        m_releases.append(readReleaseEntry(release.toObject().toVariantMap()));
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
