#include "metadata/metadata.h"
#include "metadata/metadatav2.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace Corvane;

namespace {

enum Format { V1, V2 };

// A document of the format holding the given entries ("releases" for v1, "devices" for v2);
// empty when the text is no JSON, so that a typo in a row cannot pass as a valid document.
QJsonObject document(Format format, const QByteArray &entries)
{
    const QByteArray list = format == V1 ? "releases" : "devices";
    return QJsonDocument::fromJson("{\"" + list + "\": [" + entries + "]}").object();
}

// Versions are listed out of order so that a "last match wins" selection shows up. A second
// entry for a model is never looked at: the one for m1 would offer 9.0, the one for "broken"
// would stand in for the broken first entry.
const char *const v1Entries = R"(
    {"deviceModel": "m1", "latest": "4.2.0", "versions": [
      {"version": "4.2.0", "from": ["3.9.0", "4.0.0"]}, {"version": "4.1.0", "from": ["4.0.0"]},
      {"version": "4.3.0", "from": ["4.0.0"]}, {"version": "4.5.0", "from": ["4.1.0"]},
      {"version": "4.0.5"}]},
    {"deviceModel": "m1", "latest": "9.0", "versions": [{"version": "9.0", "from": ["4.0.0"]}]},
    {"deviceModel": "m2", "latest": "5.0", "versions": [{"version": "4.1.0", "from": ["4.1.0"]},
      {"version": "4.2.0-rc1", "from": ["4.1.0"]}, {"version": "5.0", "from": ["4.0"]}]},
    {"deviceModel": "broken", "versions": [{"version": "5.0", "from": ["4.0.0"]}]},
    {"deviceModel": "broken", "latest": "5.0", "versions": [{"version": "5.0", "from": ["4.0.0"]}]}
)";

const char *const v2Entries = R"(
    {"device": "d1", "latestRelease": "4.2.0", "releases": [
      {"version": "4.2.0", "updateMethods": [
        {"method": "Package", "latestStopRelease": "4.1.0"}, {"method": "Reset"}]},
      {"version": "4.1.0", "updateMethods": [{"method": "Package"}]},
      {"version": "4.3.0", "updateMethods": [{"method": "Package"}, {"method": "Reset"}]}]},
    {"device": "d1", "latestRelease": "9.0", "releases": [
      {"version": "9.0", "updateMethods": [{"method": "Package"}]}]},
    {"device": "d2", "latestRelease": "6.0.0", "releases": [
      {"version": "5.0", "updateMethods": [
        {"method": "Package", "latestStopRelease": "9.0"}, {"method": "Package"}]},
      {"version": "5.1", "updateMethods": [
        {"method": "Package"}, {"method": "Package", "latestStopRelease": "9.0"}]},
      {"version": "5.2", "updateMethods": [
        {"method": "Reset", "latestStopRelease": "not a version"}, {"method": "package"}]},
      {"version": "6.0.0-beta", "updateMethods": [{"method": "Reset", "latestStopRelease": "5.0"}]},
      {"version": "5.1.5", "updateMethods": [{"method": "Reset"}]}]},
    {"device": "broken", "releases": [{"version": "5.0", "updateMethods": [{"method": "Reset"}]}]},
    {"device": "broken", "latestRelease": "5.0", "releases": [
      {"version": "5.0", "updateMethods": [{"method": "Reset"}]}]}
)";

void validityRow(const char *name, Format format, bool valid, const char *entries)
{
    QTest::newRow(name) << format << QByteArray(entries) << valid;
}

// Expected versions per method; an empty one means that method is not offered.
void selectionRow(const char *name, Format format, const char *model, const char *current,
    const char *requested, const char *package, const char *reset = "")
{
    QTest::newRow(name) << format << model << current << requested << package << reset;
}

} // namespace

Q_DECLARE_METATYPE(Format)

class TestMetadata : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validity_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QByteArray>("entries");
        QTest::addColumn<bool>("valid");

        validityRow("v1 no releases", V1, true, "");
        // Numbers read as their text, and only the numeric part of a version counts.
        validityRow(
            "v1 no from, suffixes, a number", V1, true, R"({"deviceModel": "m", "latest": 4.1,
            "versions": [{"version": "4.0+git1"}, {"version": "4.1", "from": ["3.9 beta"]}]})");
        validityRow("v1 empty device model", V1, false,
            R"({"deviceModel": "m", "latest": "4.0"}, {"deviceModel": "", "latest": "4.0"})");
        validityRow(
            "v1 latest not numeric", V1, false, R"({"deviceModel": "m", "latest": "v4.0"})");
        validityRow("v1 version missing", V1, false,
            R"({"deviceModel": "m", "latest": "4.0", "versions": [{"from": ["3.0"]}]})");
        validityRow("v1 empty string in from", V1, false, R"({"deviceModel": "m", "latest": "4.0",
            "versions": [{"version": "4.0", "from": ["3.0", ""]}]})");
        validityRow("v1 another model broken", V1, false, v1Entries);

        // Leaves read as their variant text: a boolean names a model, a list or object is empty.
        validityRow(
            "v2 boolean device name", V2, true, R"({"device": true, "latestRelease": "4.0"})");
        validityRow(
            "v2 list as latest release", V2, false, R"({"device": "d", "latestRelease": ["4.0"]})");
        validityRow("v2 object as version", V2, false,
            R"({"device": "d", "latestRelease": "4.0", "releases":
            [{"version": {"v": "4.0"}, "updateMethods": [{"method": "Package"}]}]})");
        validityRow("v2 last duplicate key counts", V2, true,
            R"({"device": "d", "latestRelease": "", "latestRelease": "4.0"})");
        validityRow("v2 unknown method, odd stop", V2, true,
            R"({"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0", "updateMethods":
            [{"method": "Delta"}, {"method": "Package", "latestStopRelease": "soon"}]}]})");
        validityRow("v2 only unknown methods", V2, false,
            R"({"device": "d", "latestRelease": "4.0", "releases": [{"version": "4.0",
            "updateMethods": [{"method": "package"}, {"method": "RESET"}]}]})");
        validityRow("v2 empty device", V2, false, R"({"device": "", "latestRelease": "4.0"})");
        validityRow("v2 second entry broken", V2, false,
            R"({"device": "d", "latestRelease": "4.0"}, {"device": "d", "latestRelease": "4.0",
            "releases": [{"version": "4.1", "updateMethods": []}]})");
        validityRow("v2 another device broken", V2, false, v2Entries);
    }

    void validity()
    {
        QFETCH(Format, format);
        QFETCH(QByteArray, entries);
        QFETCH(bool, valid);

        const QJsonObject json = document(format, entries);
        QVERIFY(!json.isEmpty());
        QCOMPARE(format == V1 ? Metadata(json).isValid() : MetadataV2(json).isValid(), valid);
    }

    void selection_data()
    {
        QTest::addColumn<Format>("format");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("requested");
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("reset");

        selectionRow("v1 latest", V1, "m1", "4.0.0", "latest", "4.2.0");
        selectionRow("v1 between releases", V1, "m1", "4.0.0", "4.1.5", "4.1.0");
        selectionRow("v1 above latest", V1, "m1", "4.0.0", "4.4", "4.3.0");
        selectionRow("v1 below every release", V1, "m1", "4.0.0", "4.0.9", "");
        selectionRow("v1 second entry ignored", V1, "m1", "4.0.0", "9.0", "4.3.0");
        selectionRow("v1 no chaining", V1, "m1", "4.0.0", "4.5.0", "4.3.0");
        selectionRow("v1 from intermediate", V1, "m1", "4.1.0", "4.5.0", "4.5.0");
        selectionRow("v1 any from counts", V1, "m1", "3.9.0", "latest", "4.2.0");
        selectionRow("v1 current suffix ignored", V1, "m1", "4.0.0-devel", "latest", "4.2.0");
        selectionRow("v1 4.0 is not 4.0.0", V1, "m1", "4.0", "latest", "");
        selectionRow("v1 current never qualifies", V1, "m2", "4.1.0", "4.1.0", "");
        selectionRow("v1 suffix not reported", V1, "m2", "4.1.0", "latest", "4.2.0");
        selectionRow("v1 latest with blank", V1, "m1", "4.0.0", "latest ", "");
        selectionRow("v1 model case", V1, "M1", "4.0.0", "latest", "");
        selectionRow("v1 own entry broken", V1, "broken", "4.0.0", "5.0", "");

        selectionRow("v2 stop holds back", V2, "d1", "4.0.0", "latest", "4.1.0", "4.2.0");
        selectionRow("v2 stop reached", V2, "d1", "4.1.0", "latest", "4.2.0", "4.2.0");
        selectionRow("v2 4.1 below stop 4.1.0", V2, "d1", "4.1", "latest", "4.1.0", "4.2.0");
        selectionRow("v2 bounds each method", V2, "d1", "4.0.0", "4.1.0", "4.1.0");
        selectionRow("v2 above latest", V2, "d1", "4.0.0", "4.3.0", "4.3.0", "4.3.0");
        selectionRow("v2 second entry ignored", V2, "d1", "4.0.0", "9.0", "4.3.0", "4.3.0");
        selectionRow("v2 nothing above", V2, "d1", "4.3.0", "9.0", "");
        selectionRow("v2 later method wins", V2, "d2", "4.0", "latest", "5.0", "5.2");
        selectionRow("v2 suffix dropped", V2, "d2", "5.0", "latest", "", "6.0.0");
        selectionRow("v2 6.0 below 6.0.0", V2, "d2", "5.0", "6.0", "", "5.2");
        selectionRow("v2 latest with blank", V2, "d1", "4.0.0", "latest ", "");
        selectionRow("v2 empty current", V2, "d1", "", "latest", "");
        selectionRow("v2 own entry broken", V2, "broken", "4.0.0", "5.0", "");
    }

    void selection()
    {
        QFETCH(Format, format);
        QFETCH(QString, model);
        QFETCH(QString, current);
        QFETCH(QString, requested);
        QFETCH(QString, package);
        QFETCH(QString, reset);

        const QJsonObject json = document(format, format == V1 ? v1Entries : v2Entries);
        const MethodVersions result = format == V1
            ? Metadata(json).versions(model, current, requested)
            : MetadataV2(json).versions(model, current, requested);
        QCOMPARE(result.value(Enums::Method::PackageUpdate), package);
        QCOMPARE(result.value(Enums::Method::ResetUpdate), reset);
        QCOMPARE(result.size(), int(!package.isEmpty()) + int(!reset.isEmpty()));
    }
};

QTEST_GUILESS_MAIN(TestMetadata)

#include "tst_metadata.moc"
