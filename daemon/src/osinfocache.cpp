#include "osinfocache.h"

#include "util.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace Corvane {

namespace {

const QString CacheFileName = QStringLiteral("os-info.json");

// JSON numbers are doubles; anything that is not a number, or does not fit in 64 bits, reads
// as 0 so that a hostile cache file cannot trigger an out-of-range conversion.
qint64 toInt64(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number >= 9.2e18 || number <= -9.2e18)
        return 0;
    return static_cast<qint64>(number);
}

QJsonObject toJson(const OsInfo &info)
{
    return QJsonObject {
        {QStringLiteral("version"), info.version},
        {QStringLiteral("codeName"), info.codeName},
        {QStringLiteral("summary"), info.summary},
        {QStringLiteral("cover"), info.cover},
        {QStringLiteral("website"), info.website},
        {QStringLiteral("lastChecked"), static_cast<double>(info.lastChecked.toMSecsSinceEpoch())},
        {QStringLiteral("size"), static_cast<double>(info.size)},
        {QStringLiteral("downloadedSize"), static_cast<double>(info.downloadedSize)},
        {QStringLiteral("installSize"), static_cast<double>(info.installSize)},
        {QStringLiteral("isDownloaded"), info.isDownloaded},
        {QStringLiteral("vendorDataUrl"), info.vendorDataUrl},
        {QStringLiteral("isVendorDataDownloaded"), info.isVendorDataDownloaded},
        {QStringLiteral("packagesToRemove"), QJsonArray::fromStringList(info.packagesToRemove)},
    };
}

OsInfo fromJson(const QJsonObject &object)
{
    OsInfo info;
    info.version = object.value(QStringLiteral("version")).toString();
    info.codeName = object.value(QStringLiteral("codeName")).toString();
    info.summary = object.value(QStringLiteral("summary")).toString();
    info.cover = object.value(QStringLiteral("cover")).toString();
    info.website = object.value(QStringLiteral("website")).toString();
    info.lastChecked =
        QDateTime::fromMSecsSinceEpoch(toInt64(object.value(QStringLiteral("lastChecked"))));
    info.size = toInt64(object.value(QStringLiteral("size")));
    info.downloadedSize = toInt64(object.value(QStringLiteral("downloadedSize")));
    info.installSize = toInt64(object.value(QStringLiteral("installSize")));
    info.isDownloaded = object.value(QStringLiteral("isDownloaded")).toBool();
    info.vendorDataUrl = object.value(QStringLiteral("vendorDataUrl")).toString();
    info.isVendorDataDownloaded = object.value(QStringLiteral("isVendorDataDownloaded")).toBool();
    const QJsonArray packages = object.value(QStringLiteral("packagesToRemove")).toArray();
    for (const QJsonValue &package : packages)
        info.packagesToRemove.append(package.toString());
    return info;
}

} // namespace

QString OsInfoCache::filePath()
{
    return cacheDir().absoluteFilePath(CacheFileName);
}

OsInfoCache::Records OsInfoCache::decode(const QByteArray &content)
{
    Records records;
    const QJsonArray methods =
        QJsonDocument::fromJson(content).object().value(QStringLiteral("methods")).toArray();
    for (const QJsonValue &element : methods) {
        const QJsonObject entry = element.toObject();
        const OsInfo info = fromJson(entry.value(QStringLiteral("info")).toObject());
        if (!info.lastChecked.isValid())
            continue;
        // A number beyond 32 bits must not wrap around onto a real method.
        const qint64 number = toInt64(entry.value(QStringLiteral("method")));
        const auto method = static_cast<Enums::Method>(
            number == static_cast<qint32>(number) ? static_cast<qint32>(number) : 0);
        const auto known =
            std::find_if(records.begin(), records.end(), [method](const Record &record) {
                return record.method == method;
            });
        if (known != records.end())
            known->info = info;
        else
            records.append({method, info});
    }
    return records;
}

QByteArray OsInfoCache::encode(const Records &records)
{
    QJsonArray methods;
    for (const Record &record : records) {
        methods.append(QJsonObject {
            {QStringLiteral("method"), static_cast<int>(record.method)},
            {QStringLiteral("info"), toJson(record.info)},
        });
    }
    return QJsonDocument(QJsonObject {{QStringLiteral("methods"), methods}})
        .toJson(QJsonDocument::Indented);
}

OsInfoCache::Records OsInfoCache::read()
{
    qDebug() << Q_FUNC_INFO << "Reading cache...";
    const QFileInfo info(filePath());
    if (!info.exists())
        return {};
    if (!isTrusted(info.absoluteFilePath())) {
        qWarning() << Q_FUNC_INFO << "Fake OS info cache detected!";
        QFile::remove(info.absoluteFilePath());
        return {};
    }
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << Q_FUNC_INFO << "Can't open cache file:" << file.errorString();
        QFile::remove(info.absoluteFilePath());
        return {};
    }
    return decode(file.readAll());
}

void OsInfoCache::write(const Records &records)
{
    qDebug() << Q_FUNC_INFO << "Writing cache...";
    // Written through a temporary file so that a crash or a full disk never leaves a
    // truncated cache behind.
    QSaveFile file(filePath());
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning().noquote() << Q_FUNC_INFO << "Can't open cache file:" << file.fileName()
                             << file.errorString();
        QFile::remove(file.fileName());
        return;
    }
    const QByteArray json = encode(records);
    if (file.write(json) != json.size() || !file.commit()) {
        qWarning().noquote() << Q_FUNC_INFO << "Can't write cache file:" << file.fileName()
                             << file.errorString();
    }
}

void OsInfoCache::reset()
{
    qDebug() << Q_FUNC_INFO << "Resetting cache...";
    QFile file(filePath());
    if (file.exists())
        file.remove();
}

// Only the daemon (root) or a privileged tool writes the file; anyone else's may have been
// planted to make the daemon install something.
bool OsInfoCache::isTrusted(const QString &fileName)
{
    const QFileInfo info(fileName);
    return info.group() == QLatin1String("privileged") || info.owner() == QLatin1String("root");
}

} // namespace Corvane
