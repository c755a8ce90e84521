#include "metadata/metadata.h"
#include "metadata/metadatav2.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using Corvane::Enums;
using Corvane::Metadata;
using Corvane::MetadataV2;
using Corvane::MethodVersions;

namespace {

enum class Format { V1, V2 };

bool parse(const QByteArray &json, QJsonObject *object)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    *object = document.object();
    return error.error == QJsonParseError::NoError && document.isObject();
}

// A readable form of a result, so that a failing row shows what was chosen.
QString describe(const MethodVersions &versions)
{
    QStringList parts;
    for (auto it = versions.cbegin(); it != versions.cend(); ++it) {
        switch (it.key()) {
        case Enums::Method::PackageUpdate:
            parts << QStringLiteral("Package=") + it.value();
            break;
        case Enums::Method::ResetUpdate:
            parts << QStringLiteral("Reset=") + it.value();
            break;
        default:
            parts << QStringLiteral("Unexpected(%1)=").arg(int(it.key())) + it.value();
        }
    }
    parts.sort();
    return parts.join(QLatin1Char(' '));
}

void validityRow(const char *name, Format format, const char *json, bool valid)
{
    QTest::newRow(name) << format << QByteArray(json) << valid;
}

void selectionRow(const char *name, Format format, const char *model, const char *current,
    const char *requested, const char *expected)
{
    QTest::newRow(name) << format << QString::fromUtf8(model) << QString::fromUtf8(current)
                        << QString::fromUtf8(requested) << QString::fromUtf8(expected);
}

// Versions are listed out of order so that a "last match wins" selection shows up. A second
// entry for a model is never looked at: the one for m1 would offer 9.0, the one for "broken"
// would stand in for the broken first entry.
const char *const v1Document = R"({
  "releases": [
    {"deviceModel": "m1", "latest": "4.2.0", "versions": [
      {"version": "4.2.0", "from": ["3.9.0", "4.0.0"]},
      {"version": "4.1.0", "from": ["4.0.0"]},
      {"version": "4.3.0", "from": ["4.0.0"]},
      {"version": "4.5.0", "from": ["4.1.0"]},
      {"version": "4.0.5"}
    ]},
    {"deviceModel": "m1", "latest": "9.0", "versions": [{"version": "9.0", "from": ["4.0.0"]}]},
    {"deviceModel": "m2", "latest": "5.0", "versions": [
      {"version": "4.1.0", "from": ["4.1.0"]},
      {"version": "4.2.0-rc1", "from": ["4.1.0"]},
      {"version": "5.0", "from": ["4.0"]}
    ]},
    {"deviceModel": "broken", "versions": [{"version": "5.0", "from": ["4.0.0"]}]},
    {"deviceModel": "broken", "latest": "5.0", "versions": [{"version": "5.0", "from": ["4.0.0"]}]}
  ]
})";

const char *const v2Document = R"({
  "devices": [
    {"device": "d1", "latestRelease": "4.2.0", "releases": [
      {"version": "4.2.0", "updateMethods": [
        {"method": "Package", "latestStopRelease": "4.1.0"}, {"method": "Reset"}]},
      {"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
      {"version": "4.3.0", "updateMethods": [{"method": "Package"}, {"method": "Reset"}]}
    ]},
    {"device": "d1", "latestRelease": "9.0", "releases": [
      {"version": "9.0", "updateMethods": [{"method": "Package"}]}]},
    {"device": "d2", "latestRelease": "6.0.0", "releases": [
      {"version": "5.0", "updateMethods": [
        {"method": "Package", "latestStopRelease": "9.0"}, {"method": "Package"}]},
      {"version": "5.1", "updateMethods": [
        {"method": "Package"}, {"method": "Package", "latestStopRelease": "9.0"}]},
      {"version": "5.2", "updateMethods": [
        {"method": "Reset", "latestStopRelease": "not a version"}, {"method": "package"}]},
      {"version": "6.0.0-beta", "updateMethods": [
        {"method": "Reset", "latestStopRelease": "5.0"}]},
      {"version": "5.1.5", "updateMethods": [{"method": "Reset"}]}
    ]},
    {"device": "broken", "releases": [{"version": "5.0", "updateMethods": [{"method": "Reset"}]}]},
    {"device": "broken", "latestRelease": "5.0", "releases": [
      {"version": "5.0", "updateMethods": [{"method": "Reset"}]}]}
  ]
})";

} // namespace

Q_DECLARE_METATYPE(Format)

class TestMetadata : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validity_data();
    void validity();
    void selection_data();
    void selection();
};

void TestMetadata::validity_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("valid");

    const Format v1 = Format::V1;
    validityRow("v1 empty document", v1, "{}", true);
    validityRow("v1 no releases", v1, R"({"releases": []})", true);
    validityRow("v1 version without from", v1, R"({"releases": [
        {"deviceModel": "m", "latest": "4.0", "versions": [{"version": "4.0"}]}]})",
        true);
    validityRow("v1 suffix after the numeric part", v1, R"({"releases": [
        {"deviceModel": "m", "latest": "4.0-rc2", "versions": [
          {"version": "4.0+git1", "from": ["3.9 beta"]}]}]})",
        true);
    validityRow("v1 number instead of version string", v1,
        R"({"releases": [{"deviceModel": "m", "latest": 4.1}]})", true);
    // Leaves read as their variant text: a boolean names a model, a list or object is empty.
    validityRow("v2 boolean device name", Format::V2,
        R"({"devices": [{"device": true, "latestRelease": "4.0"}]})", true);
    validityRow("v2 list as latest release", Format::V2,
        R"({"devices": [{"device": "d", "latestRelease": ["4.0"]}]})", false);
    validityRow("v2 object as version", Format::V2, R"({"devices": [{"device": "d",
        "latestRelease": "4.0", "releases": [{"version": {"v": "4.0"},
        "updateMethods": [{"method": "Package"}]}]}]})",
        false);
    validityRow("v2 duplicate key: the last one counts", Format::V2,
        R"({"devices": [{"device": "d", "latestRelease": "", "latestRelease": "4.0"}]})", true);
    validityRow("v1 empty device model", v1, R"({"releases": [
        {"deviceModel": "m", "latest": "4.0"}, {"deviceModel": "", "latest": "4.0"}]})",
        false);
    validityRow("v1 latest missing", v1, R"({"releases": [{"deviceModel": "m"}]})", false);
    validityRow("v1 latest not numeric", v1,
        R"({"releases": [{"deviceModel": "m", "latest": "v4.0"}]})", false);
    validityRow("v1 version missing", v1, R"({"releases": [
        {"deviceModel": "m", "latest": "4.0", "versions": [{"from": ["3.0"]}]}]})",
        false);
    validityRow("v1 empty string in from", v1, R"({"releases": [
        {"deviceModel": "m", "latest": "4.0", "versions": [
          {"version": "4.0", "from": ["3.0", ""]}]}]})",
        false);
    validityRow("v1 release that is not an object", v1, R"({"releases": ["m"]})", false);
    validityRow("v1 broken entry of another model", v1, v1Document, false);

    const Format v2 = Format::V2;
    validityRow("v2 empty document", v2, "{}", true);
    validityRow("v2 no devices", v2, R"({"devices": []})", true);
    validityRow("v2 unknown method beside a known one", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0",
          "updateMethods": [{"method": "Delta"}, {"method": "Reset"}]}]}]})",
        true);
    validityRow("v2 stop release not a version", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0",
          "updateMethods": [{"method": "Package", "latestStopRelease": "soon"}]}]}]})",
        true);
    validityRow("v2 only unknown method names", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0",
          "updateMethods": [{"method": "package"}, {"method": "RESET"}]}]}]})",
        false);
    validityRow("v2 no update methods", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0"}]}]})",
        false);
    validityRow("v2 release version missing", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0", "releases": [
          {"updateMethods": [{"method": "Package"}]}]}]})",
        false);
    validityRow(
        "v2 empty device", v2, R"({"devices": [{"device": "", "latestRelease": "4.0"}]})", false);
    validityRow("v2 latest release not numeric", v2,
        R"({"devices": [{"device": "d", "latestRelease": "latest"}]})", false);
    validityRow("v2 broken second entry of the same device", v2, R"({"devices": [
        {"device": "d", "latestRelease": "4.0"},
        {"device": "d", "latestRelease": "4.0", "releases": [
          {"version": "4.1", "updateMethods": []}]}]})",
        false);
    validityRow("v2 broken entry of another device", v2, v2Document, false);
}

void TestMetadata::validity()
{
    QFETCH(Format, format);
    QFETCH(QByteArray, json);
    QFETCH(bool, valid);

    QJsonObject document;
    QVERIFY(parse(json, &document));
    const bool result =
        format == Format::V1 ? Metadata(document).isValid() : MetadataV2(document).isValid();
    QCOMPARE(result, valid);
}

void TestMetadata::selection_data()
{
    QTest::addColumn<Format>("format");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("expected");

    const Format v1 = Format::V1;
    selectionRow("v1 latest bounds the choice", v1, "m1", "4.0.0", "latest", "Package=4.2.0");
    selectionRow("v1 requested exactly", v1, "m1", "4.0.0", "4.1.0", "Package=4.1.0");
    selectionRow("v1 requested between releases", v1, "m1", "4.0.0", "4.1.5", "Package=4.1.0");
    selectionRow("v1 requested above latest", v1, "m1", "4.0.0", "4.4", "Package=4.3.0");
    selectionRow("v1 requested below every release", v1, "m1", "4.0.0", "4.0.9", "");
    selectionRow(
        "v1 second entry of the model is ignored", v1, "m1", "4.0.0", "9.0", "Package=4.3.0");
    selectionRow("v1 no chaining", v1, "m1", "4.0.0", "4.5.0", "Package=4.3.0");
    selectionRow("v1 from an intermediate release", v1, "m1", "4.1.0", "4.5.0", "Package=4.5.0");
    selectionRow("v1 any from entry counts", v1, "m1", "3.9.0", "latest", "Package=4.2.0");
    selectionRow("v1 suffix of the current release ignored", v1, "m1", "4.0.0-devel", "latest",
        "Package=4.2.0");
    selectionRow(
        "v1 shorter current release is not its longer form", v1, "m1", "4.0", "latest", "");
    selectionRow("v1 equal to current never qualifies", v1, "m2", "4.1.0", "4.1.0", "");
    selectionRow(
        "v1 suffix in the document is not reported", v1, "m2", "4.1.0", "latest", "Package=4.2.0");
    selectionRow("v1 two segment release", v1, "m2", "4.0", "latest", "Package=5.0");
    selectionRow("v1 latest with a trailing blank", v1, "m1", "4.0.0", "latest ", "");
    selectionRow("v1 empty requested version", v1, "m1", "4.0.0", "", "");
    selectionRow("v1 model matched case-sensitively", v1, "M1", "4.0.0", "latest", "");
    selectionRow("v1 current release not numeric", v1, "m1", "unknown", "latest", "");
    selectionRow("v1 matching entry is broken", v1, "broken", "4.0.0", "5.0", "");

    const Format v2 = Format::V2;
    selectionRow("v2 stop release holds the package update back", v2, "d1", "4.0.0", "latest",
        "Package=4.1.0 Reset=4.2.0");
    selectionRow(
        "v2 stop release reached", v2, "d1", "4.1.0", "latest", "Package=4.2.0 Reset=4.2.0");
    selectionRow("v2 shorter current release is below the stop", v2, "d1", "4.1", "latest",
        "Package=4.1.0 Reset=4.2.0");
    selectionRow("v2 requested bounds each method", v2, "d1", "4.0.0", "4.1.0", "Package=4.1.0");
    selectionRow(
        "v2 requested above latest", v2, "d1", "4.0.0", "4.3.0", "Package=4.3.0 Reset=4.3.0");
    selectionRow("v2 second entry of the device is ignored", v2, "d1", "4.0.0", "9.0",
        "Package=4.3.0 Reset=4.3.0");
    selectionRow("v2 nothing above the current release", v2, "d1", "4.3.0", "9.0", "");
    selectionRow("v2 later duplicate method replaces the stop", v2, "d2", "4.0", "latest",
        "Package=5.0 Reset=5.2");
    selectionRow("v2 stop reached and suffix dropped", v2, "d2", "5.0", "latest", "Reset=6.0.0");
    selectionRow("v2 shorter requested version is below its longer form", v2, "d2", "5.0", "6.0",
        "Reset=5.2");
    selectionRow("v2 latest with a trailing blank", v2, "d1", "4.0.0", "latest ", "");
    selectionRow("v2 device matched case-sensitively", v2, "D1", "4.0.0", "latest", "");
    selectionRow("v2 empty current release", v2, "d1", "", "latest", "");
    selectionRow("v2 matching entry is broken", v2, "broken", "4.0.0", "5.0", "");
}

void TestMetadata::selection()
{
    QFETCH(Format, format);
    QFETCH(QString, model);
    QFETCH(QString, current);
    QFETCH(QString, requested);
    QFETCH(QString, expected);

    QJsonObject document;
    QVERIFY(parse(format == Format::V1 ? v1Document : v2Document, &document));
    const MethodVersions result = format == Format::V1
        ? Metadata(document).versions(model, current, requested)
        : MetadataV2(document).versions(model, current, requested);
    QCOMPARE(describe(result), expected);
}

QTEST_GUILESS_MAIN(TestMetadata)

#include "tst_metadata.moc"
