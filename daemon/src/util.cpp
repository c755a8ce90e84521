#include "util.h"

#include <QDebug>

namespace Corvane {

namespace {
// Formed during static initialisation, so the cache directory exists (or its failure is
// logged) before main runs.
const QString SsuVersionFilePath = cacheDir().absoluteFilePath(QStringLiteral("ssu-version"));
} // namespace

QDir cacheDir()
{
    QDir dir(QStringLiteral("/home/.system-updates"));
    if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
        qWarning() << Q_FUNC_INFO << "Failed to ensure cache dir existence" << dir.path();
    return dir;
}

QString ssuVersionFilePath()
{
    return SsuVersionFilePath;
}

} // namespace Corvane
