#include "faultserver.h"

#include "fileio.h"

#include <QDir>
#include <QFile>

FaultServer::~FaultServer()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool FaultServer::start()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
        {qEnvironmentVariable("CORVANE_SOURCE_DIR") +
                QStringLiteral("/daemon/tests/support/faultserver.py"),
            m_root.path(), logPath()});
    m_process.waitForReadyRead(30000);
    m_address = QString::fromUtf8(m_process.readLine()).trimmed();
    return !m_address.isEmpty();
}

QString FaultServer::url(const QString &name, const QString &faults) const
{
    return QStringLiteral("https://%1/m/%2/%3").arg(m_address, faults, name);
}

QString FaultServer::calm() const
{
    return QDir(m_root.path()).filePath(QStringLiteral(".calm"));
}

QList<QJsonObject> FaultServer::requests() const
{
    return readJsonLines(logPath());
}

void FaultServer::clearLog()
{
    QFile::remove(logPath());
}

QString FaultServer::logPath() const
{
    return QDir(m_log.path()).filePath(QStringLiteral("requests.log"));
}
