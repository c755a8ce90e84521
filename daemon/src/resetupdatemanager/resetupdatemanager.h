#pragma once

#include "updatemanager.h"

#include <QObject>

namespace Corvane {
namespace ResetUpdates {

class ResetUpdateManager : public QObject, public UpdateManager
{
    Q_OBJECT
    Q_INTERFACES(Corvane::UpdateManager)

public:
    ResetUpdateManager(bool insecure, qint64 size, QObject *parent = nullptr);

    void prepare(const QString &version) override;
    void download(const QString &version) override;
    void downloadVendorData(const QString &url) override;
    void cancelDownload() override;
    void install(const QString &version, bool reboot) override;

signals:
    void prepareFinished(qint64 downloadSize, qint64 installSize) override;
    void downloadProgress(int progress, qint64 bytes) override;
    void downloadFinished() override;
    void downloadCancelled() override;
    void downloadVendorDataFinished() override;
    void downloadVendorDataCancelled() override;
    void installFinished() override;
    void packagesToRemove(QStringList packages) override;
    void error(Corvane::Enums::UpdateError error, QString details) override;

private:
    void reportNotSupported();

    bool m_insecure;
    qint64 m_size;
};

} // namespace ResetUpdates
} // namespace Corvane
