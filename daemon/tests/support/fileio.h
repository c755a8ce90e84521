#pragma once

#include <QByteArray>
#include <QString>

// The whole file, or nothing when it cannot be read.
QByteArray readFile(const QString &path);
// Replaces the file's content; a failure fails the running test.
void writeFile(const QString &path, const QByteArray &content);
