#include "jsonlines.h"

#include <QFile>
#include <QJsonDocument>

QList<QJsonObject> readJsonLines(const QString &path)
{
    QList<QJsonObject> result;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (!entry.isEmpty())
            result.append(entry);
    }
    return result;
}
