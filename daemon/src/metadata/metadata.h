#pragma once

#include "enums.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVector>
#include <QVersionNumber>

namespace Corvane {

// One installable release of a v1 document and the releases it can be installed from directly.
struct VersionEntry
{
    QVersionNumber version;
    QVector<QVersionNumber> from;

    bool isValid() const;
};

// The releases of one device model in a v1 document.
struct ReleaseEntry
{
    QString deviceModel;
    QVersionNumber latest;
    QVector<VersionEntry> versions;

    bool isValid() const;
};

/**
 * A parsed v1 metadata document. It only ever offers the package update method.
 *
 * The document is read once by the constructor; nothing is dropped or merged, so a broken entry
 * is kept and reported by isValid().
 */
class Metadata : public QObject
{
    Q_OBJECT

public:
    explicit Metadata(const QJsonObject &document);

    /**
     * @return true when every device entry names a model and a latest release and every
     * installable release and each of its "from" releases is a version
     */
    [[nodiscard]] bool isValid() const;

    /**
     * Picks the highest release reachable in one step from @p currentRelease for
     * @p deviceModel, bounded by @p requestedVersion ("latest" for the model's latest release).
     * Only the first entry for the model counts.
     *
     * @return at most one entry, keyed PackageUpdate; empty when nothing qualifies
     */
    [[nodiscard]] MethodVersions versions(const QString &deviceModel, const QString &currentRelease,
        const QString &requestedVersion) const;

private:
    QVector<ReleaseEntry> m_releases;
};

} // namespace Corvane
