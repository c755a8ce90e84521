#pragma once

#include "enums.h"

#include <QHash>
#include <QObject>

namespace Corvane {

class SsuIntegration;

/**
 * Answers which release each update method should install: fetches the release server's
 * metadata (format v2, falling back to v1 when v2 cannot be fetched) and lets the parsed
 * document choose for this device. Each getMetadata() ends in exactly one finished() or one
 * error().
 */
class MetadataManager : public QObject
{
    Q_OBJECT

public:
    MetadataManager(bool ignoreSslErrors, QObject *parent = nullptr);

    void getMetadata(const QString &version);

signals:
    void error(Enums::UpdateError error, QString details);
    void finished(QHash<Enums::Method, QString> versions);

private slots:
    void onMetadataReply(QString version);
    void onMetadataV2Reply(QString version);

private:
    void request(const QString &urlTemplate, void (MetadataManager::*handler)(QString),
        const QString &version);
    template<typename Document>
    void parse(const QByteArray &body, const QString &version);

    SsuIntegration *m_ssu;
    bool m_ignoreSslErrors;
};

} // namespace Corvane
