// Feeds arbitrary bytes through the metadata parsing and selection of both formats, the way the
// metadata manager does with a release server's reply.
#include "fuzzinput.h"
#include "metadata/metadata.h"
#include "metadata/metadatav2.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Selects with the first entry's model and latest release among the candidates, so that the
// selection gets past the model match more often than random bytes would.
template<typename Document>
void exercise(const QJsonObject &object, const char *list, const char *model, const char *latest)
{
    const QJsonObject first = object.value(QLatin1String(list)).toArray().at(0).toObject();
    const QStringList models {first.value(QLatin1String(model)).toString(), QStringLiteral("m")};
    const QStringList releases {
        first.value(QLatin1String(latest)).toString(), QString(), QStringLiteral("4.0.0")};
    const Document metadata(object);
    volatile bool valid = metadata.isValid();
    Q_UNUSED(valid)
    for (const QString &model : models) {
        for (const QString &current : releases) {
            for (const char *requested : {"latest", "", "4.1.0", "99999.0"})
                metadata.versions(model, current, QLatin1String(requested)).size();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QByteArray> input = Fuzz::bytes(data, size);
    if (!input)
        return 0;
    const QJsonDocument document = QJsonDocument::fromJson(*input);
    exercise<Corvane::Metadata>(document.object(), "releases", "deviceModel", "latest");
    exercise<Corvane::MetadataV2>(document.object(), "devices", "device", "latestRelease");
    return 0;
}
