#include "serviceadaptor.h"

#include <QMetaObject>
#include <QVariant>

namespace Corvane {

namespace {
template<typename T>
T parentProperty(const QObject *adaptor, const char *name)
{
    return adaptor->parent()->property(name).value<T>();
}
} // namespace

ServiceAdaptor::ServiceAdaptor(QObject *parent)
    : QDBusAbstractAdaptor(parent)
{
    setAutoRelaySignals(true);
}

QString ServiceAdaptor::codeName() const
{
    return parentProperty<QString>(this, "codeName");
}

QString ServiceAdaptor::cover() const
{
    return parentProperty<QString>(this, "cover");
}

qlonglong ServiceAdaptor::downloadedSize() const
{
    return parentProperty<qlonglong>(this, "downloadedSize");
}

bool ServiceAdaptor::isDownloaded() const
{
    return parentProperty<bool>(this, "isDownloaded");
}

bool ServiceAdaptor::isVendorDataDownloaded() const
{
    return parentProperty<bool>(this, "isVendorDataDownloaded");
}

qlonglong ServiceAdaptor::lastChecked() const
{
    return parentProperty<qlonglong>(this, "lastChecked");
}

Corvane::Enums::Method ServiceAdaptor::method() const
{
    return parentProperty<Enums::Method>(this, "method");
}

QStringList ServiceAdaptor::packagesToRemove() const
{
    return parentProperty<QStringList>(this, "packagesToRemove");
}

qlonglong ServiceAdaptor::size() const
{
    return parentProperty<qlonglong>(this, "size");
}

Corvane::Enums::Status ServiceAdaptor::status() const
{
    return parentProperty<Enums::Status>(this, "status");
}

QString ServiceAdaptor::summary() const
{
    return parentProperty<QString>(this, "summary");
}

Corvane::MethodList ServiceAdaptor::supportedMethods() const
{
    return parentProperty<MethodList>(this, "supportedMethods");
}

QString ServiceAdaptor::vendorDataUrl() const
{
    return parentProperty<QString>(this, "vendorDataUrl");
}

QString ServiceAdaptor::version() const
{
    return parentProperty<QString>(this, "version");
}

QString ServiceAdaptor::website() const
{
    return parentProperty<QString>(this, "website");
}

void ServiceAdaptor::CancelDownload()
{
    QMetaObject::invokeMethod(parent(), "CancelDownload");
}

void ServiceAdaptor::Check(const QString &version, bool forceRefresh)
{
    QMetaObject::invokeMethod(
        parent(), "Check", Q_ARG(QString, version), Q_ARG(bool, forceRefresh));
}

void ServiceAdaptor::Download()
{
    QMetaObject::invokeMethod(parent(), "Download");
}

void ServiceAdaptor::DownloadVendorData(const QString &url)
{
    QMetaObject::invokeMethod(parent(), "DownloadVendorData", Q_ARG(QString, url));
}

void ServiceAdaptor::Install(bool reboot)
{
    QMetaObject::invokeMethod(parent(), "Install", Q_ARG(bool, reboot));
}

void ServiceAdaptor::SetMethod(Corvane::Enums::Method method)
{
    QMetaObject::invokeMethod(parent(), "SetMethod", Q_ARG(Corvane::Enums::Method, method));
}

} // namespace Corvane
