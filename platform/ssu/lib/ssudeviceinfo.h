#pragma once

#include <QObject>
#include <QString>

// Identity of the device SSU configures.
class SsuDeviceInfo : public QObject
{
    Q_OBJECT
public:
    // A non-empty @p model stands for the configured one, as when asking about another device.
    explicit SsuDeviceInfo(const QString &model = QString());

    QString deviceModel();

private:
    QString m_model;
};
