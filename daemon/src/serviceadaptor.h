#pragma once

#include "enums.h"

#include <QDBusAbstractAdaptor>
#include <QStringList>

namespace Corvane {

/**
 * Relays the service's signals and forwards calls to it. The daemon exports the service object
 * itself, so this description is what client developers read, not what the bus serves.
 */
class ServiceAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tessaro.Corvane")
    Q_CLASSINFO("D-Bus Introspection",
        "  <interface name=\"org.tessaro.Corvane\">\n"
        "    <property name=\"status\" type=\"(i)\" access=\"read\">\n"
        "      <annotation name=\"org.qtproject.QtDBus.QtTypeName\" "
        "value=\"Corvane::Enums::Status\"/>\n"
        "    </property>\n"
        "    <property name=\"method\" type=\"(i)\" access=\"read\">\n"
        "      <annotation name=\"org.qtproject.QtDBus.QtTypeName\" "
        "value=\"Corvane::Enums::Method\"/>\n"
        "    </property>\n"
        "    <property name=\"version\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"supportedMethods\" type=\"(ai)\" access=\"read\">\n"
        "      <annotation name=\"org.qtproject.QtDBus.QtTypeName\" "
        "value=\"QList&lt;Corvane::Enums::Method&gt;\"/>\n"
        "    </property>\n"
        "    <property name=\"codeName\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"cover\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"summary\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"website\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"packagesToRemove\" type=\"as\" access=\"read\"/>\n"
        "    <property name=\"size\" type=\"x\" access=\"read\"/>\n"
        "    <property name=\"downloadedSize\" type=\"x\" access=\"read\"/>\n"
        "    <property name=\"isDownloaded\" type=\"b\" access=\"read\"/>\n"
        "    <property name=\"vendorDataUrl\" type=\"s\" access=\"read\"/>\n"
        "    <property name=\"isVendorDataDownloaded\" type=\"b\" access=\"read\"/>\n"
        "    <property name=\"lastChecked\" type=\"x\" access=\"read\"/>\n"
        "    <signal name=\"Error\">\n"
        "      <arg name=\"error\" type=\"(i)\" direction=\"out\"/>\n"
        "      <annotation name=\"org.qtproject.QtDBus.QtTypeName.Out0\" "
        "value=\"Corvane::Enums::UpdateError\"/>\n"
        "      <arg name=\"details\" type=\"s\" direction=\"out\"/>\n"
        "    </signal>\n"
        "    <signal name=\"DownloadProgress\">\n"
        "      <arg name=\"progress\" type=\"i\" direction=\"out\"/>\n"
        "    </signal>\n"
        "    <signal name=\"statusChanged\"/>\n"
        "    <signal name=\"methodChanged\"/>\n"
        "    <signal name=\"versionChanged\"/>\n"
        "    <signal name=\"supportedMethodsChanged\"/>\n"
        "    <signal name=\"codeNameChanged\"/>\n"
        "    <signal name=\"coverChanged\"/>\n"
        "    <signal name=\"summaryChanged\"/>\n"
        "    <signal name=\"websiteChanged\"/>\n"
        "    <signal name=\"packagesToRemoveChanged\"/>\n"
        "    <signal name=\"sizeChanged\"/>\n"
        "    <signal name=\"downloadedSizeChanged\"/>\n"
        "    <signal name=\"isDownloadedChanged\"/>\n"
        "    <signal name=\"vendorDataUrlChanged\"/>\n"
        "    <signal name=\"isVendorDataDownloadedChanged\"/>\n"
        "    <signal name=\"lastCheckedChanged\"/>\n"
        "    <method name=\"Check\">\n"
        "      <arg name=\"version\" type=\"s\" direction=\"in\"/>\n"
        "      <arg name=\"forceRefresh\" type=\"b\" direction=\"in\"/>\n"
        "    </method>\n"
        "    <method name=\"SetMethod\">\n"
        "      <arg name=\"method\" type=\"(i)\" direction=\"in\"/>\n"
        "      <annotation name=\"org.qtproject.QtDBus.QtTypeName.In0\" "
        "value=\"Corvane::Enums::Method\"/>\n"
        "    </method>\n"
        "    <method name=\"Download\"/>\n"
        "    <method name=\"DownloadVendorData\">\n"
        "      <arg name=\"url\" type=\"s\" direction=\"in\"/>\n"
        "    </method>\n"
        "    <method name=\"CancelDownload\"/>\n"
        "    <method name=\"Install\">\n"
        "      <arg name=\"reboot\" type=\"b\" direction=\"in\"/>\n"
        "    </method>\n"
        "  </interface>\n")

    Q_PROPERTY(QString codeName READ codeName)
    Q_PROPERTY(QString cover READ cover)
    Q_PROPERTY(qlonglong downloadedSize READ downloadedSize)
    Q_PROPERTY(bool isDownloaded READ isDownloaded)
    Q_PROPERTY(bool isVendorDataDownloaded READ isVendorDataDownloaded)
    Q_PROPERTY(qlonglong lastChecked READ lastChecked)
    Q_PROPERTY(Corvane::Enums::Method method READ method)
    Q_PROPERTY(QStringList packagesToRemove READ packagesToRemove)
    Q_PROPERTY(qlonglong size READ size)
    Q_PROPERTY(Corvane::Enums::Status status READ status)
    Q_PROPERTY(QString summary READ summary)
    Q_PROPERTY(Corvane::MethodList supportedMethods READ supportedMethods)
    Q_PROPERTY(QString vendorDataUrl READ vendorDataUrl)
    Q_PROPERTY(QString version READ version)
    Q_PROPERTY(QString website READ website)

public:
    explicit ServiceAdaptor(QObject *parent);

    QString codeName() const;
    QString cover() const;
    qlonglong downloadedSize() const;
    bool isDownloaded() const;
    bool isVendorDataDownloaded() const;
    qlonglong lastChecked() const;
    Corvane::Enums::Method method() const;
    QStringList packagesToRemove() const;
    qlonglong size() const;
    Corvane::Enums::Status status() const;
    QString summary() const;
    Corvane::MethodList supportedMethods() const;
    QString vendorDataUrl() const;
    QString version() const;
    QString website() const;

signals:
    void DownloadProgress(int progress);
    void Error(Corvane::Enums::UpdateError error, QString details);
    void codeNameChanged();
    void coverChanged();
    void downloadedSizeChanged();
    void isDownloadedChanged();
    void isVendorDataDownloadedChanged();
    void lastCheckedChanged();
    void methodChanged();
    void packagesToRemoveChanged();
    void sizeChanged();
    void statusChanged();
    void summaryChanged();
    void supportedMethodsChanged();
    void vendorDataUrlChanged();
    void versionChanged();
    void websiteChanged();

public slots:
    void CancelDownload();
    void Check(const QString &version, bool forceRefresh);
    void Download();
    void DownloadVendorData(const QString &url);
    void Install(bool reboot);
    void SetMethod(Corvane::Enums::Method method);
};

} // namespace Corvane
