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

#include <memory>

namespace Corvane {

namespace {
const QString MetadataV2Url = QStringLiteral("https://%1/metav2/");
const QString MetadataV1Url = QStringLiteral("https://%1/meta/");
// A metadata document is a few megabytes at most; a server that sends without end is cut off
// instead of filling the daemon's memory.
constexpr qint64 MaximumDocumentSize = 64 * 1024 * 1024;
const QString DocumentTooLarge = QStringLiteral("Metadata document is larger than 64 MiB");
// The reply holds at most this much; the rest waits in the socket until we have read it.
constexpr qint64 ReadBufferSize = 1024 * 1024;
// The body as read while it arrived, handed to the reply handler with its reply.
constexpr char BodyProperty[] = "corvaneBody";
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
    reply->setReadBufferSize(ReadBufferSize);
    // Counted as the bytes arrive, so a document is cut off the moment it passes the limit, not
    // at the next progress report, which may only come with the end of the transfer.
    auto body = std::make_shared<QByteArray>();
    auto readArrived = [reply, body] {
        if (reply->isOpen())
            body->append(reply->readAll());
        return body->size() <= MaximumDocumentSize;
    };
    connect(reply, &QNetworkReply::readyRead, this, [reply, readArrived] {
        if (!readArrived())
            reply->abort();
    });
    // Called with this object as context, so the handler finds the reply as its sender.
    connect(
        reply, &QNetworkReply::finished, this, [this, handler, version, reply, body, readArrived] {
            readArrived();
            reply->setProperty(BodyProperty, *body);
            (this->*handler)(version);
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
    const QByteArray body = reply->property(BodyProperty).toByteArray();
    if (reply->error() != QNetworkReply::NoError || body.size() > MaximumDocumentSize) {
        qWarning().noquote() << Q_FUNC_INFO
                             << (body.size() > MaximumDocumentSize ? DocumentTooLarge
                                                                   : reply->errorString());
        qWarning() << Q_FUNC_INFO << "Metadata v2 is not available. Checking metadata v1...";
        request(MetadataV1Url, &MetadataManager::onMetadataReply, version);
        return;
    }
    parse<MetadataV2>(body, version);
}

void MetadataManager::onMetadataReply(QString version)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->property(BodyProperty).toByteArray();
    // Checked first: the cut-off transfer also reports itself as cancelled.
    if (body.size() > MaximumDocumentSize) {
        qWarning().noquote() << Q_FUNC_INFO << "No metadata available:" << DocumentTooLarge;
        emit error(Enums::UpdateError::MetadataError, DocumentTooLarge);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        qWarning().noquote() << Q_FUNC_INFO << "No metadata available:" << reply->errorString();
        emit error(Enums::UpdateError::NetworkError, reply->errorString());
        return;
    }
    parse<Metadata>(body, version);
}

template<typename Document>
void MetadataManager::parse(const QByteArray &body, const QString &version)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(body, &parseError);
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
