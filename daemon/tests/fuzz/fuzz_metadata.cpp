// Feeds arbitrary bytes through the metadata parsing and selection of both formats, the way the
// metadata manager does with a release server's reply.

#include "metadata/metadata.h"
#include "metadata/metadatav2.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

// The first entry's model and latest release, so that the selection gets past the model match
// more often than random bytes would.
QStringList firstEntry(
    const QJsonObject &document, const QString &list, const QString &model, const QString &latest)
{
    const QJsonObject entry = document.value(list).toArray().at(0).toObject();
    return {entry.value(model).toString(), entry.value(latest).toString()};
}

template<typename Document>
void exercise(const QJsonObject &object, const QStringList &models, const QStringList &releases)
{
    const Document metadata(object);
    volatile bool valid = metadata.isValid();
    Q_UNUSED(valid)

    static const QStringList requested = {
        QStringLiteral("latest"), QString(), QStringLiteral("4.1.0"), QStringLiteral("99999.0")};
    for (const QString &model : models) {
        for (const QString &current : releases) {
            for (const QString &version : requested) {
                const Corvane::MethodVersions versions = metadata.versions(model, current, version);
                volatile int count = versions.size();
                Q_UNUSED(count)
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(std::numeric_limits<int>::max())) {
        return 0;
    }
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject()) {
        return 0;
    }
    const QJsonObject object = document.object();

    const QStringList v1 = firstEntry(object, QStringLiteral("releases"),
        QStringLiteral("deviceModel"), QStringLiteral("latest"));
    const QStringList v2 = firstEntry(object, QStringLiteral("devices"), QStringLiteral("device"),
        QStringLiteral("latestRelease"));
    const QStringList models = {v1.first(), v2.first(), QStringLiteral("model")};
    const QStringList releases = {v1.last(), v2.last(), QStringLiteral("4.0.0"), QString()};

    exercise<Corvane::Metadata>(object, models, releases);
    exercise<Corvane::MetadataV2>(object, models, releases);
    return 0;
}
