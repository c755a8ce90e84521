// Times a full metadata check on documents far larger than a release server serves: 1000 device
// models with 200 releases each, in both formats. Prints figures only; it never fails.

#include "metadata/metadata.h"
#include "metadata/metadatav2.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace {

constexpr int deviceCount = 1000;
constexpr int releaseCount = 200;

QByteArray releaseName(int release)
{
    return QByteArray("5.") + QByteArray::number(release / 50) + '.' +
        QByteArray::number(release % 50) + ".17";
}

QByteArray modelName(int device)
{
    return QByteArray("model-") + QByteArray::number(device);
}

QByteArray buildV2()
{
    QByteArray json;
    json.reserve(32 * 1024 * 1024);
    json += R"({"devices":[)";
    for (int device = 0; device < deviceCount; ++device) {
        json += device ? ",{" : "{";
        json += R"("device":")" + modelName(device) + R"(","latestRelease":")" +
            releaseName(releaseCount - 1) + R"(","releases":[)";
        for (int release = 0; release < releaseCount; ++release) {
            json += release ? ",{" : "{";
            json += R"("version":")" + releaseName(release) + R"(","updateMethods":[)";
            // A package update climbs ten releases at a time; every fifth release also has an
            // image.
            json += R"({"method":"Package")";
            if (release > 10) {
                json += R"(,"latestStopRelease":")" + releaseName((release - 1) / 10 * 10) + '"';
            }
            json += '}';
            if (release % 5 == 0) {
                json += R"(,{"method":"Reset"})";
            }
            json += "]}";
        }
        json += "]}";
    }
    json += "]}";
    return json;
}

QByteArray buildV1()
{
    QByteArray json;
    json.reserve(32 * 1024 * 1024);
    json += R"({"releases":[)";
    for (int device = 0; device < deviceCount; ++device) {
        json += device ? ",{" : "{";
        json += R"("deviceModel":")" + modelName(device) + R"(","latest":")" +
            releaseName(releaseCount - 1) + R"(","versions":[)";
        for (int release = 0; release < releaseCount; ++release) {
            json += release ? ",{" : "{";
            json += R"("version":")" + releaseName(release) + R"(","from":[)";
            // Installable from each of the three releases before it.
            for (int from = qMax(0, release - 3); from < release; ++from) {
                json += '"' + releaseName(from) + (from + 1 < release ? "\"," : "\"");
            }
            json += "]}";
        }
        json += "]}";
    }
    json += "]}";
    return json;
}

struct Figures
{
    qint64 parse = 0;
    qint64 construct = 0;
    qint64 validate = 0;
    qint64 select = 0;

    qint64 total() const { return parse + construct + validate + select; }
};

void report(const char *phase, qint64 first, qint64 best)
{
    std::printf("  %-26s %9.1f ms %9.1f ms\n", phase, first / 1e6, best / 1e6);
}

// One check as the metadata manager runs it: parse, build the document, validate, select.
template<typename Document>
Figures check(const QByteArray &json, Corvane::MethodVersions &versions, bool &valid)
{
    Figures figures;
    QElapsedTimer timer;

    timer.start();
    const QJsonDocument document = QJsonDocument::fromJson(json);
    figures.parse = timer.nsecsElapsed();

    timer.restart();
    const Document metadata(document.object());
    figures.construct = timer.nsecsElapsed();

    timer.restart();
    valid = metadata.isValid();
    figures.validate = timer.nsecsElapsed();

    // A model near the end, on a release with a package stop release ahead of it.
    const QString model = QString::fromLatin1(modelName(deviceCount - 3));
    const QString current = QString::fromLatin1(releaseName(releaseCount / 2 + 5));
    timer.restart();
    versions = metadata.versions(model, current, QStringLiteral("latest"));
    figures.select = timer.nsecsElapsed();
    return figures;
}

template<typename Document>
void run(const char *name, QByteArray (*build)())
{
    constexpr int rounds = 5;

    const QByteArray json = build();
    std::printf("%s: %d models x %d releases, %.1f MiB of JSON\n", name, deviceCount, releaseCount,
        json.size() / (1024.0 * 1024.0));

    Corvane::MethodVersions versions;
    bool valid = false;
    Figures first;
    Figures best;
    for (int round = 0; round < rounds; ++round) {
        const Figures figures = check<Document>(json, versions, valid);
        if (round == 0) {
            first = best = figures;
            continue;
        }
        best.parse = qMin(best.parse, figures.parse);
        best.construct = qMin(best.construct, figures.construct);
        best.validate = qMin(best.validate, figures.validate);
        best.select = qMin(best.select, figures.select);
    }

    std::printf("  %-26s %12s %12s\n", "phase", "first", "best of 5");
    report("QJsonDocument::fromJson", first.parse, best.parse);
    report("construct", first.construct, best.construct);
    report("isValid", first.validate, best.validate);
    report("versions", first.select, best.select);
    report("whole check", first.total(), best.total());

    // For comparison: converting the whole document to variants in one piece.
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    QElapsedTimer timer;
    timer.start();
    qint64 converted = 0;
    {
        const QVariantMap variants = object.toVariantMap();
        converted = timer.nsecsElapsed();
    }
    std::printf("  (whole-document toVariantMap: %.1f ms, %.1f ms with its release)\n",
        converted / 1e6, timer.nsecsElapsed() / 1e6);

    std::printf("  valid: %s, package: %s, reset: %s\n\n", valid ? "yes" : "no",
        qPrintable(versions.value(Corvane::Enums::Method::PackageUpdate, QStringLiteral("-"))),
        qPrintable(versions.value(Corvane::Enums::Method::ResetUpdate, QStringLiteral("-"))));
}

} // namespace

int main()
{
    run<Corvane::MetadataV2>("v2", buildV2);
    run<Corvane::Metadata>("v1", buildV1);
    return 0;
}
