#include "metadatamanager.h"

#include "metadata/metadata.h"
#include "metadata/metadatav2.h"
#include "networkaccessmanager.h"
#include "ssuintegration.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace Corvane {

namespace {
const QString MetadataV2Url = QStringLiteral("https://%1/metav2/");
const QString MetadataV1Url = QStringLiteral("https://%1/meta/");
constexpr qint64 MaximumDocumentSize = 64 * 1024 * 1024;
// A check has no cancel: a server that goes silent must not keep the service busy for ever.
constexpr int TransferTimeoutMs = 30000;
} // namespace

MetadataManager::MetadataManager(bool ignoreSslErrors, QObject *parent)
    : QObject(parent)
    , m_ssu(new SsuIntegration(this))
    , m_ignoreSslErrors(ignoreSslErrors)
{
}

void MetadataManager::getMetadata(const QString &version)
{
    qDebug() << Q_FUNC_INFO << "Checking metadata v2...";
    request(MetadataV2Url, &MetadataManager::onMetadataV2Reply, version);
}

void MetadataManager::request(
    const QString &urlTemplate, void (MetadataManager::*handler)(QString), const QString &version)
{
    const QString domain = m_ssu->releaseDomain();
    if (domain.isEmpty()) {
        emit error(Enums::UpdateError::SsuError,
            QStringLiteral("Invalid ssu domain configuration: releaseDomain is empty"));
        return;
    }
    QNetworkRequest networkRequest(QUrl(urlTemplate.arg(domain), QUrl::TolerantMode));
    networkRequest.setTransferTimeout(TransferTimeoutMs);
    QNetworkReply *reply = networkAccessManager()->get(networkRequest);
    // Called with this object as context, so the handler finds the reply as its sender.
    connect(reply, &QNetworkReply::finished, this, [this, handler, version] {
        (this->*handler)(version);
    });
    // A metadata document is a few megabytes at most; a server that sends without end is cut
    // off instead of filling the daemon's memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > MaximumDocumentSize)
            reply->abort();
    });
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply](const QList<QSslError> &errors) {
        if (m_ignoreSslErrors)
            reply->ignoreSslErrors(errors);
    });
}

void MetadataManager::onMetadataV2Reply(QString version)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning() << Q_FUNC_INFO << "Metadata v2 is not available. Checking metadata v1...";
        request(MetadataV1Url, &MetadataManager::onMetadataReply, version);
        return;
    }
    parse<MetadataV2>(reply, version);
}

void MetadataManager::onMetadataReply(QString version)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << Q_FUNC_INFO << "No metadata available:" << reply->errorString();
        emit error(Enums::UpdateError::NetworkError, reply->errorString());
        return;
    }
    parse<Metadata>(reply, version);
}

template<typename Document>
void MetadataManager::parse(QNetworkReply *reply, const QString &version)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        emit error(Enums::UpdateError::MetadataError, parseError.errorString());
        return;
    }
    if (json.isNull() || json.isEmpty() || !json.isObject()) {
        emit error(Enums::UpdateError::MetadataError, QStringLiteral("JSON is not valid"));
        return;
    }
    const Document document(json.object());
    if (!document.isValid()) {
        emit error(Enums::UpdateError::MetadataError, QStringLiteral("Metadata is not valid"));
        return;
    }
    const QString release = m_ssu->release();
    const QString model = m_ssu->deviceModel();
    const MethodVersions versions = document.versions(model, release, version);
    qDebug() << Q_FUNC_INFO << "Got metadata:" << versions;
    emit finished(versions);
}

} // namespace Corvane
