#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The whole file, or nothing when it cannot be read.
QByteArray readFile(const QString &path);
// Replaces the file's content; a failure fails the running test.
void writeFile(const QString &path, const QByteArray &content);
// Replaces the file's content with size random bytes; false when it cannot be written whole.
[[nodiscard]] bool writeRandomFile(const QString &path, qint64 size);
// Hex MD5 of the file, empty when unreadable.
QString md5(const QString &path);
// The objects of a log written one JSON object per line, in order; lines that are no object
// (a line still being written, say) are left out. A missing file gives none.
QList<QJsonObject> readJsonLines(const QString &path);
// Publishes a new build of random bytes the way release servers replace files: a new file
// renamed over the old one. Each build gets its own time, as nginx's ETag is made of time and
// size.
[[nodiscard]] bool publish(const QString &path, qint64 size);
// From a server's request log: the Range headers of the GET requests, and the If-Range
// headers of the ranged requests.
QStringList gets(const QList<QJsonObject> &requests);
QStringList ifRanges(const QList<QJsonObject> &requests);
