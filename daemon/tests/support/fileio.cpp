#include "fileio.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <cstdio>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
    QVERIFY2(file.flush(), qPrintable(path));
}

bool writeRandomFile(const QString &path, qint64 size)
{
    QByteArray data(int(size), '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        file.write(data) == data.size() && file.flush();
}

QString md5(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QList<QJsonObject> readJsonLines(const QString &path)
{
    QList<QJsonObject> result;
    const QList<QByteArray> lines = readFile(path).split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (!entry.isEmpty())
            result.append(entry);
    }
    return result;
}

bool publish(const QString &path, qint64 size)
{
    static QDateTime time = QDateTime::currentDateTimeUtc().addDays(-1);
    time = time.addSecs(100);
    const QString temporary = path + QStringLiteral(".new");
    QFile file(temporary);
    return writeRandomFile(temporary, size) && file.open(QIODevice::ReadWrite) &&
        file.setFileTime(time, QFileDevice::FileModificationTime) &&
        std::rename(qPrintable(temporary), qPrintable(path)) == 0;
}

QStringList gets(const QList<QJsonObject> &requests)
{
    QStringList ranges;
    for (const QJsonObject &request : requests)
        if (request.value(QStringLiteral("method")).toString() == QLatin1String("GET"))
            ranges.append(request.value(QStringLiteral("range")).toString());
    return ranges;
}

QStringList ifRanges(const QList<QJsonObject> &requests)
{
    QStringList values;
    for (const QJsonObject &request : requests)
        if (!request.value(QStringLiteral("range")).toString().isEmpty())
            values.append(
                request[QStringLiteral("headers")][QStringLiteral("If-Range")].toString());
    return values;
}
