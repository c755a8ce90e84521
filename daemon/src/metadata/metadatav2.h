#pragma once

#include "enums.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVarLengthArray>
#include <QVector>
#include <QVersionNumber>

namespace Corvane {

// An update method that can install a release, with its stop release: the release the device
// must already run to use that method; null means none.
struct MethodStop
{
    Enums::Method method;
    QVersionNumber stop;
};

// One installable release of a v2 document with its update methods.
struct ReleaseItem
{
    QVersionNumber version;
    // At most one element per method. Kept inline: a document holds hundreds of thousands of
    // releases, and a hash each would cost more memory than the document itself.
    QVarLengthArray<MethodStop, 2> methods;

    bool isValid() const;
    // Adds the method, or replaces the stop release of a method already listed.
    void setMethod(Enums::Method method, const QVersionNumber &stop);
};

// The releases of one device model in a v2 document.
struct DeviceEntry
{
    QString device;
    QVersionNumber latestRelease;
    QVector<ReleaseItem> releases;

    bool isValid() const;
};

/**
 * A parsed v2 metadata document: per release, the update methods that may install it.
 *
 * The document is read once by the constructor; nothing is dropped or merged, so a broken entry
 * is kept and reported by isValid(). Method names other than "Package" and "Reset" are ignored.
 */
class MetadataV2 : public QObject
{
    Q_OBJECT

public:
    explicit MetadataV2(const QJsonObject &document);

    /**
     * @return true when every device entry names a device and a latest release and every
     * release is a version with at least one known update method
     */
    [[nodiscard]] bool isValid() const;

    /**
     * Picks, per update method, the highest release above @p currentRelease for
     * @p deviceModel, bounded by @p requestedVersion ("latest" for the model's latest release),
     * whose stop release for that method the device has reached. Only the first entry for the
     * model counts.
     *
     * @return at most one version per method; empty when nothing qualifies
     */
    [[nodiscard]] MethodVersions versions(const QString &deviceModel, const QString &currentRelease,
        const QString &requestedVersion) const;

private:
    QVector<DeviceEntry> m_devices;
};

} // namespace Corvane
