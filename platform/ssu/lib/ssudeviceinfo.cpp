#include "ssudeviceinfo.h"

#include "ssuconfig.h"

SsuDeviceInfo::SsuDeviceInfo(const QString &model)
    : m_model(model)
{
}

QString SsuDeviceInfo::deviceModel()
{
    if (!m_model.isEmpty())
        return m_model;
    return SsuConfig::load().value(
        QString::fromLatin1(SsuConfig::General), QStringLiteral("model"));
}
