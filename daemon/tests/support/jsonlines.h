#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The objects of a log written one JSON object per line, in order; lines that are no object
// (a line still being written, say) are left out. A missing file gives none.
QList<QJsonObject> readJsonLines(const QString &path);
